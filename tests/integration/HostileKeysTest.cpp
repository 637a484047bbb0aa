#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "integration/ObjectTestSupport.hpp"
#include "quilo/quilo.hpp"

namespace quilo {
namespace {

// Exactly 1,000 bytes of valid UTF-8 in ten folders, every one holding characters to encode.
std::string thousandByteKey() {
    const std::string filler = "a b(c)d!e*f'g~";
    std::string key;
    for (int block = 0; block < 10; ++block) {
        std::string part = "ü-" + std::to_string(block) + "-";
        while (part.size() < 99)
            part += filler[part.size() % filler.size()];
        key += part + (block < 9 ? "/" : "!");
    }
    return key;
}

std::string bytesOf(const std::string& key) {
    return "bytes of \"" + key + "\"\n";
}

TEST(HostileKeys, RoundTripThroughEveryOperationOnRgw) {
    test::Scratch s(test::rgw());
    const std::vector<std::string> getAcl = {"s3api", "get-bucket-acl", "--bucket", s.bucket()};
    const auto aclBefore = test::awsOut(s.server, getAcl);

    const std::vector<std::string> keys = {
        "with space", "one+two", "percent%2Fslash", "?acl",           "#frag", "../x", "../x?acl",
        "a/./b",      "a//b",    "ключ/日本語 ✓",   thousandByteKey()};
    const std::string copyPrefix = "copy ?#+%/";  // keys and copies stay within 1,024 bytes
    std::vector<std::string> expected;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const auto& key = keys[i];
        EXPECT_TRUE(
            test::upload(s.client, s.bucket(), key, s.file(std::to_string(i), bytesOf(key))).ok())
            << key;
        const auto copied = test::copy(s.client, s.bucket(), key, s.bucket(), copyPrefix + key);
        EXPECT_TRUE(copied.ok()) << key << ": " << copied.summary();
        expected.insert(expected.end(), {key, copyPrefix + key});
    }
    std::sort(expected.begin(), expected.end());

    EXPECT_EQ(test::listAll(s.client, s.bucket(), 1000).keys, expected);
    std::vector<std::string> peerKeys;
    for (const auto& [key, size] : test::awsListing(s.server, s.bucket()))
        peerKeys.push_back(key);
    EXPECT_EQ(peerKeys, expected) << "awscli";

    for (const auto& key : expected) {
        const auto fetched = test::download(s.client, s.bucket(), key);
        ASSERT_TRUE(fetched.ok()) << key << ": " << fetched.summary();
        const bool isCopy = key.starts_with(copyPrefix);
        EXPECT_EQ(fetched.request->responseData(),
                  bytesOf(isCopy ? key.substr(copyPrefix.size()) : key));
    }
    // "?acl" went out as part of a key, never as the access-control subresource.
    EXPECT_EQ(test::awsOut(s.server, getAcl), aclBefore);

    for (const auto& key : expected)
        EXPECT_TRUE(
            test::op(s.client, &Quilo::deleteObject, {{"bucket", s.bucket()}, {"key", key}}).ok())
            << key;
    EXPECT_EQ(test::listAll(s.client, s.bucket(), 1000).keys, std::vector<std::string>{});
}

}  // namespace
}  // namespace quilo
