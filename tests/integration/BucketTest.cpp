// The service and bucket operations, listings included, against RGW and s3rver.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "integration/Blocking.hpp"
#include "quilo/quilo.hpp"

namespace quilo {
namespace {

using test::failedOnce;
using test::op;

constexpr int kKeys = 250;

// Key i of a tree. Names at one level never start with one another, so that s3rver, which
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
    for (int i = 0; i < kKeys; ++i)
        if (const auto key = keyOf(i);
            key.starts_with(prefix) &&
            (!direct || key.find('/', prefix.size()) == std::string::npos))
            keys.push_back(key);
    std::sort(keys.begin(), keys.end());
    return keys;
}

class Buckets : public test::BothServers {
  protected:
    // Fills the scratch bucket with the tree, many uploads at once.
    void fill() {
        Quilo::GlobalConfig(s_.server.accessKey, s_.server.secretKey, s_.server.https, 8);
        std::vector<test::ObjectEnded> uploads(kKeys);
        for (int i = 0; i < kKeys; ++i) {
            const auto file =
                s_.file(std::to_string(i), std::string(1 + i * 37 % 200, 'a' + i % 26));
            s_.client.uploadObject({{"filePath", file}, {"bucket", s_.bucket()}, {"key", keyOf(i)}},
                                   uploads[i].transferCallbacks());
        }
        for (auto& upload : uploads)
            ASSERT_TRUE(upload.waitForEnd(std::chrono::seconds(60), {}) && upload.ok())
                << upload.summary();
    }

    // Page by page, checked against awscli, and level by level; every key listed.
    std::vector<std::string> checkListings(const std::string& bucket) {
        const auto paged = test::listAll(s_.client, bucket, 100);
        EXPECT_EQ(paged.pages, 3);
        EXPECT_EQ(paged.keys, keysUnder("", false));
        std::vector<std::pair<std::string, std::uint64_t>> sizes;
        for (const auto& object : paged.objects) {
            sizes.emplace_back(object.key, object.size);
            EXPECT_EQ(object.etag.size(), 32u) << object.key << ": " << object.etag;
        }
        EXPECT_EQ(test::awsListing(s_.server, bucket, 100), sizes) << "awscli, paging by itself";
        // 50 keys and 3 prefixes at the top: on RGW the second page of 13 ends on "alpha/".
        const std::vector<std::string> top{"alpha/", "beta/", "gamma/"};
        for (const auto& [prefix, maxKeys, prefixes] :
             std::vector<std::tuple<std::string, int, std::vector<std::string>>>{
                 {"", 1000, top}, {"", 13, top}, {"alpha/", 1000, {"alpha/one/", "alpha/two/"}}}) {
            SCOPED_TRACE(prefix + " by " + std::to_string(maxKeys));
            const auto level = test::listAll(s_.client, bucket, maxKeys, prefix, "/");
            EXPECT_EQ(level.prefixes, prefixes);
            EXPECT_EQ(level.keys, keysUnder(prefix, true));
            EXPECT_GE(level.pages, maxKeys == 13 ? 4 : 1);
        }
        return paged.keys;
    }
};

// Made, found among the buckets as awscli sees it, filled, listed page by page and level by
// level, refused while full, emptied and deleted.
TEST_P(Buckets, RoundTrip) {
    auto& client = s_.client;
    const auto bucket = s_.bucket();
    const auto listed = test::listBuckets(client);
    ASSERT_TRUE(listed.ok()) << listed.summary();
    const auto& buckets = listed.request()->buckets();
    const auto found = std::find_if(buckets.begin(), buckets.end(),
                                    [&](const S3Bucket& each) { return each.name == bucket; });
    ASSERT_NE(found, buckets.end()) << bucket << " is not among " << buckets.size();
    // awscli shows "2024-05-01T10:20:30" and then its own choice of fraction and zone.
    const auto dated = test::awsOut(
        s_.server, {"s3api", "list-buckets", "--query",
                    "Buckets[?Name=='" + bucket + "'].CreationDate", "--output", "text"});
    ASSERT_GE(dated.size(), 19u);
    EXPECT_EQ(found->creationDate.substr(0, 19), dated.substr(0, 19));
    ASSERT_TRUE(listed.request()->owner());
    const std::string owner = listed.request()->owner()->id;
    EXPECT_TRUE(s_.server.userId.empty() ? !owner.empty() : owner == s_.server.userId) << owner;
    EXPECT_TRUE(op(client, &Quilo::getBucketMeta, bucket).ok());

    fill();
    const auto keys = checkListings(bucket);

    EXPECT_TRUE(failedOnce(op(client, &Quilo::deleteBucket, bucket), ErrorKind::service, 409,
                           "BucketNotEmpty"));
    std::vector<test::ObjectEnded> deletes(keys.size());
    for (std::size_t i = 0; i < deletes.size(); ++i)
        client.deleteObject({{"bucket", bucket}, {"key", keys[i]}}, deletes[i].callbacks());
    for (auto& deleted : deletes)
        ASSERT_TRUE(deleted.waitForEnd(std::chrono::seconds(60), {}) && deleted.ok());
    ASSERT_TRUE(op(client, &Quilo::deleteBucket, bucket).ok());
    s_.buckets.clear();
    // A HEAD answer has no body: the code comes from the status alone.
    using OnBucket = test::Form<std::string, QuiloBucketRequest>;
    for (const auto operation :
         std::initializer_list<OnBucket>{&Quilo::getBucketMeta, &Quilo::deleteBucket})
        EXPECT_TRUE(
            failedOnce(op(client, operation, bucket), ErrorKind::service, 404, "NoSuchBucket"));
}

// Path-style names go out as given and the server judges them: RGW refuses both, s3rver
// creates the bucket under exactly that name. Neither can be named in a host.
TEST_P(Buckets, NamesWithUpperCaseOrSpacesAreTheServersToJudge) {
    const bool loose = GetParam() == "s3rver", inHost = s_.server.virtualHosted;
    const auto base = test::uniqueBucketName("odd");
    const std::vector<std::string> names = {base + "-Upper", base + " space"};
    for (const auto& name : names) {
        const auto made = op(s_.client, &Quilo::createBucket, name);
        EXPECT_TRUE(loose ? ::testing::AssertionResult(made.ok())
                          : failedOnce(made, inHost ? ErrorKind::misuse : ErrorKind::service,
                                       inHost ? 0 : 400, "InvalidBucketName"))
            << name;
    }
    const auto listed = test::awsOut(
        s_.server, {"s3api", "list-buckets", "--query", "Buckets[].Name", "--output", "json"});
    for (const auto& name : names) {
        EXPECT_EQ(listed.find("\"" + name + "\"") != std::string::npos, loose) << name;
        EXPECT_TRUE(!loose || op(s_.client, &Quilo::deleteBucket, name).ok()) << name;
    }
}

QUILO_ON_BOTH_SERVERS(Buckets);
INSTANTIATE_TEST_SUITE_P(VirtualHosted, Buckets, ::testing::Values("rgwVirtual"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace quilo
