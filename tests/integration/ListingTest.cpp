#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "integration/ObjectTestSupport.hpp"
#include "quilo/quilo.hpp"

namespace quilo {
namespace {

constexpr int kKeys = 250;

// Key i of the tree. Names at one level never start with one another, so that s3rver, which
// walks its folders in file-name order, lists in key order too; and every folder holds keys of
// its own, since s3rver misses a common prefix whose keys all lie a folder deeper.
std::string keyOf(int i) {
    static const char* const folders[] = {"a-",         "file-",      "alpha/", "alpha/",
                                          "alpha/one/", "alpha/two/", "beta/",  "beta/",
                                          "beta/deep/", "gamma/"};
    const std::string folder = folders[i % 10], number = std::to_string(1000 + i).substr(1);
    return folder.back() == '-' ? folder + number : folder + "k-" + number;
}

// The keys under `prefix`, sorted; only those directly under it when `direct`.
std::vector<std::string> keysUnder(const std::string& prefix, bool direct) {
    std::vector<std::string> keys;
    for (int i = 0; i < kKeys; ++i) {
        const auto key = keyOf(i);
        if (key.starts_with(prefix) &&
            (!direct || key.find('/', prefix.size()) == std::string::npos))
            keys.push_back(key);
    }
    std::sort(keys.begin(), keys.end());
    return keys;
}

class Listings : public test::BothServers {};

TEST_P(Listings, ATreeOf250Keys) {
    auto& client = s_.client;
    const auto& bucket = s_.bucket();
    // Enough uploads in flight to fill the bucket in a second or two.
    Quilo::GlobalConfig(s_.server.accessKey, s_.server.secretKey, s_.server.https, 8);
    std::vector<test::Ended<QuiloObjectRquest>> uploads(kKeys);
    for (int i = 0; i < kKeys; ++i) {
        const auto file = s_.file(std::to_string(i), std::string(1 + i * 37 % 200, 'a' + i % 26));
        client.uploadObject({{"filePath", file}, {"bucket", bucket}, {"key", keyOf(i)}},
                            uploads[i].transferCallbacks());
    }
    for (auto& upload : uploads)
        ASSERT_TRUE(upload.waitForEnd(std::chrono::seconds(60), {}) && upload.ok())
            << upload.summary();

    const auto paged = test::listAll(client, bucket, 100);
    EXPECT_EQ(paged.pages, 3);
    EXPECT_EQ(paged.keys, keysUnder("", false));
    std::vector<std::pair<std::string, std::uint64_t>> ours;
    for (const auto& object : paged.objects) {
        ours.emplace_back(object.key, object.size);
        EXPECT_EQ(object.etag.size(), 32u) << object.key << ": " << object.etag;
    }
    EXPECT_EQ(test::awsListing(s_.server, bucket, 100), ours) << "awscli, paging by itself";

    // 50 keys and 3 prefixes at the top: on RGW the second page of 13 ends on "alpha/".
    const std::vector<std::string> top{"alpha/", "beta/", "gamma/"};
    for (const auto& [prefix, maxKeys, prefixes] :
         std::vector<std::tuple<std::string, int, std::vector<std::string>>>{
             {"", 1000, top}, {"", 13, top}, {"alpha/", 1000, {"alpha/one/", "alpha/two/"}}}) {
        const auto level = test::listAll(client, bucket, maxKeys, prefix, "/");
        EXPECT_EQ(level.prefixes, prefixes) << prefix << maxKeys;
        EXPECT_EQ(level.keys, keysUnder(prefix, true)) << prefix << maxKeys;
        EXPECT_GE(level.pages, maxKeys == 13 ? 4 : 1);
    }
}

QUILO_ON_BOTH_SERVERS(Listings);

}  // namespace
}  // namespace quilo
