#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "integration/ObjectTestSupport.hpp"
#include "quilo/quilo.hpp"
#include "support/SharedState.hpp"

namespace quilo {
namespace {

using test::Server;
using test::ServerCase;

// Exactly 1,000 bytes of valid UTF-8 in ten folders of 100 bytes, every one holding characters
// that must be encoded.
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

// Where s3rver falls short. It keeps each object in a file at the key's path, which the file
// system resolves: "a/./b" and "a//b" are stored as "a/b" (or not at all), "../x" as "x". It
// reads x-amz-copy-source with a decoder that leaves the escapes of # $ & + , : ; = ? @ as they
// are, so it cannot find a source key holding one of them.
struct HostileKey {
    std::string key;
    bool s3rverStores = true;
    bool s3rverCopies = true;
};

const std::vector<HostileKey>& hostileKeys() {
    static const std::vector<HostileKey> keys = {
        {"with space"},
        {"one+two", true, false},
        {"percent%2Fslash"},
        {"?acl", true, false},
        {"#frag", true, false},
        {"../x", false, false},
        {"../x?acl", false, false},
        {"a/./b", false, false},
        {"a//b", false, false},
        {"ключ/日本語 ✓"},
        {thousandByteKey()},
    };
    return keys;
}

// The copy of a key goes to another key that is as hostile. Keys stay within 1,024 bytes.
std::string copyOf(const std::string& key) {
    return "copy ?#+%/" + key;
}

std::string bytesOf(const std::string& key) {
    return "bytes of \"" + key + "\"\n";
}

class HostileKeys : public ::testing::TestWithParam<ServerCase> {
  protected:
    void SetUp() override {
        server_ = GetParam().server();
        test::useServer(server_);
        s3rver_ = server_.name == "s3rver";
        for (const auto& hostile : hostileKeys()) {
            if (!s3rver_ || hostile.s3rverStores)
                keys_.push_back(hostile.key);
            if (!s3rver_ || hostile.s3rverCopies)
                copied_.push_back(hostile.key);
        }
    }

    Quilo& client() { return *Quilo::sharedInstance(); }
    // s3rver has no access-control lists.
    std::string bucketAcl(const std::string& bucket) {
        if (s3rver_)
            return {};
        const auto acl = test::aws(server_, {"s3api", "get-bucket-acl", "--bucket", bucket});
        EXPECT_EQ(acl.exitCode, 0) << acl.err;
        return acl.out;
    }

    test::SharedStateGuard restore_;
    Server server_;
    bool s3rver_ = false;
    std::vector<std::string> keys_;    // uploaded
    std::vector<std::string> copied_;  // copied too
};

TEST_P(HostileKeys, RoundTripThroughEveryOperation) {
    using test::shown;
    test::TempDir dir;
    test::ScratchBucket bucket(client(), server_, "hostile-" + server_.name);
    const std::string aclBefore = bucketAcl(bucket.name());

    std::vector<std::string> expected;  // every key there should be, in listing order
    for (std::size_t i = 0; i < keys_.size(); ++i) {
        const auto& key = keys_[i];
        const auto put =
            test::upload(client(), bucket.name(), key, dir.file(std::to_string(i), bytesOf(key)));
        EXPECT_TRUE(put.ok()) << shown(key) << ": " << put.summary;
        expected.push_back(key);
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(test::keyDifference(test::listAll(client(), bucket.name(), 1000).keys(), expected),
              "");

    for (const auto& key : copied_) {
        const auto copied = test::copy(client(), bucket.name(), key, bucket.name(), copyOf(key));
        EXPECT_TRUE(copied.ok()) << shown(key) << ": " << copied.summary;
        expected.push_back(copyOf(key));
    }
    std::sort(expected.begin(), expected.end());

    // Listed exactly as written, by us and by awscli, and nothing else.
    const auto listing = test::listAll(client(), bucket.name(), 1000);
    EXPECT_EQ(test::keyDifference(listing.keys(), expected), "");
    for (const auto& object : listing.objects) {
        const bool isCopy = object.key.starts_with(copyOf(""));
        const auto source = isCopy ? object.key.substr(copyOf("").size()) : object.key;
        EXPECT_EQ(object.size, bytesOf(source).size()) << shown(object.key);
    }
    std::vector<std::string> peerKeys;
    for (const auto& [key, size] : test::awsListing(server_, bucket.name())) {
        peerKeys.push_back(key);
        const auto ours = std::find_if(listing.objects.begin(), listing.objects.end(),
                                       [&](const S3Object& object) { return object.key == key; });
        if (ours != listing.objects.end()) {
            EXPECT_EQ(size, ours->size) << shown(key);
        }
    }
    EXPECT_EQ(test::keyDifference(peerKeys, expected), "") << "awscli";

    for (const auto& key : keys_) {
        std::vector<std::string> stored = {key};
        if (std::count(copied_.begin(), copied_.end(), key))
            stored.push_back(copyOf(key));
        for (const auto& name : stored) {
            const auto fetched = test::download(client(), bucket.name(), name);
            EXPECT_TRUE(fetched.ok()) << shown(name) << ": " << fetched.summary;
            if (fetched.ok()) {
                EXPECT_EQ(fetched.request->responseData(), bytesOf(key)) << shown(name);
            }
        }
    }
    // "?acl" went out as part of a key, never as the access-control subresource.
    EXPECT_EQ(bucketAcl(bucket.name()), aclBefore);

    for (const auto& key : expected) {
        const auto removed = test::remove(client(), bucket.name(), key);
        EXPECT_TRUE(removed.ok()) << shown(key) << ": " << removed.summary;
    }
    EXPECT_EQ(test::keyDifference(test::listAll(client(), bucket.name(), 1000).keys(), {}), "");
}

INSTANTIATE_TEST_SUITE_P(Servers, HostileKeys,
                         ::testing::Values(ServerCase{"rgw", &test::rgw},
                                           ServerCase{"s3rver", &test::s3rver}),
                         test::serverCaseName);

}  // namespace
}  // namespace quilo
