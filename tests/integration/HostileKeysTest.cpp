#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "integration/Blocking.hpp"
#include "quilo/quilo.hpp"

namespace quilo {
namespace {

class HostileKeys : public test::BothServers {};

TEST_P(HostileKeys, RoundTripThroughEveryOperation) {
    test::Scratch& s = s_;
    const std::vector<std::string> getAcl = {"s3api", "get-bucket-acl", "--bucket", s.bucket()};
    const auto aclBefore = test::awsOut(s.server, getAcl);

    std::string longKey = "ü";  // 1,000 bytes of UTF-8 in ten folders, with characters to encode
    for (int i = 0; longKey.size() < 1000; ++i)
        longKey += i % 100 == 99 ? '/' : "a b(c)d!e*f'g~"[i % 14];
    const std::string copyPrefix = "copy ?#+%/";  // keys and copies stay within 1,024 bytes
    std::map<std::string, std::string> bytes;     // of every key and its copy
    for (const auto& key : {"with space", "one+two", "percent%2Fslash", "?acl", "#frag", "../x",
                            "../x?acl", "a/./b", "a//b", "ключ/日本語 ✓", longKey.c_str()}) {
        bytes[key] = bytes[copyPrefix + key] = "bytes of \"" + std::string(key) + "\"\n";
        const auto file = s.file(std::to_string(bytes.size()), bytes[key]);
        EXPECT_TRUE(test::upload(s.client, s.bucket(), key, file).ok()) << key;
        EXPECT_TRUE(test::copy(s.client, s.bucket(), key, s.bucket(), copyPrefix + key).ok())
            << key;
    }
    std::vector<std::string> keys;
    std::vector<std::pair<std::string, std::uint64_t>> sizes;
    for (const auto& [key, content] : bytes) {
        keys.push_back(key);
        sizes.emplace_back(key, content.size());
    }
    EXPECT_EQ(test::listAll(s.client, s.bucket(), 1000).keys, keys);
    EXPECT_EQ(test::awsListing(s.server, s.bucket()), sizes) << "awscli";
    // Line ends that XML would fold, and edge spaces, list exactly as stored (awscli's text
    // output cannot say).
    for (const std::string key : {"carriage\rreturn", "line\nfeed", "both\r\n", " spaced "}) {
        bytes[key] = "bytes of a key with a line end";
        EXPECT_TRUE(test::upload(s.client, s.bucket(), key, s.file("eol", bytes[key])).ok());
    }
    keys.clear();
    for (const auto& [key, content] : bytes)
        keys.push_back(key);
    EXPECT_EQ(test::listAll(s.client, s.bucket(), 1000).keys, keys);

    StringList together = {"never stored"};  // every other key, and one never there
    std::size_t i = 0;
    for (const auto& [key, content] : bytes) {
        const auto fetched = test::download(s.client, s.bucket(), key);
        EXPECT_TRUE(fetched.ok() && fetched.request()->responseData() == content) << key;
        if (i++ % 2 == 0)
            together.push_back(key);
        else
            EXPECT_TRUE(
                test::op(s.client, &Quilo::deleteObject, {{"bucket", s.bucket()}, {"key", key}})
                    .ok())
                << key;
    }
    // A key the bucket's policy keeps fails alone; the others go.
    const std::string deny = R"({"Version": "2012-10-17", "Statement": [{"Effect": "Deny", )"
                             R"("Principal": {"AWS": ["*"]}, "Action": "s3:DeleteObject", )"
                             R"("Resource": "arn:aws:s3:::)" +
                             s.bucket() + "/never stored\"}]}";
    test::awsOut(s.server,
                 {"s3api", "put-bucket-policy", "--bucket", s.bucket(), "--policy", deny});
    const auto many =
        test::op(s.client, &Quilo::deleteObjects, {{"bucket", s.bucket()}, {"keys", together}});
    ASSERT_TRUE(many.ok()) << many.summary();
    EXPECT_EQ(many.request()->deleteFailures(),
              (std::vector<S3DeleteFailure>{{"never stored", "AccessDenied", "AccessDenied"}}));
    EXPECT_EQ(test::listAll(s.client, s.bucket(), 1000).keys, std::vector<std::string>{});
    // "?acl" went out as part of a key, never as the access-control subresource.
    EXPECT_EQ(test::awsOut(s.server, getAcl), aclBefore);
}

INSTANTIATE_TEST_SUITE_P(Servers, HostileKeys, ::testing::Values("rgw", "rgwVirtual"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace quilo
