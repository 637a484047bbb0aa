#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "integration/ObjectTestSupport.hpp"
#include "quilo/quilo.hpp"
#include "support/FaultServer.hpp"

namespace quilo {
namespace {

using test::failedOnce;
using test::op;

class Buckets : public test::BothServers {};

TEST_P(Buckets, RefusedWhileFullThenDeletedOnce) {
    auto& client = s_.client;
    const auto name = s_.bucket();
    EXPECT_TRUE(op(client, &Quilo::getBucketMeta, name).ok());
    ASSERT_TRUE(test::upload(client, name, "kept", s_.file("kept", "kept")).ok());
    EXPECT_TRUE(failedOnce(op(client, &Quilo::deleteBucket, name), ErrorKind::service, 409,
                           "BucketNotEmpty"));
    EXPECT_EQ(test::listAll(client, name, 10).keys, std::vector<std::string>{"kept"});

    ASSERT_TRUE(op(client, &Quilo::deleteObject, {{"bucket", name}, {"key", "kept"}}).ok());
    ASSERT_TRUE(op(client, &Quilo::deleteBucket, name).ok());
    s_.buckets.clear();
    // A HEAD answer has no body: the code comes from the status alone.
    for (const auto operation : {&Quilo::getBucketMeta, &Quilo::deleteBucket})
        EXPECT_TRUE(
            failedOnce(op(client, operation, name), ErrorKind::service, 404, "NoSuchBucket"));
}

// Names go out as given and the server judges them: RGW refuses both, s3rver creates the
// bucket under exactly that name.
TEST_P(Buckets, NamesWithUpperCaseOrSpacesAreTheServersToJudge) {
    const bool loose = GetParam() == "s3rver";
    const auto base = test::uniqueBucketName("odd");
    const std::vector<std::string> names = {base + "-Upper", base + " space"};
    for (const auto& name : names) {
        const auto answer = op(s_.client, &Quilo::createBucket, name);
        EXPECT_TRUE(loose ? ::testing::AssertionResult(answer.ok())
                          : failedOnce(answer, ErrorKind::service, 400, "InvalidBucketName"))
            << name << ": " << answer.summary();
    }
    const auto listed = test::awsOut(
        s_.server, {"s3api", "list-buckets", "--query", "Buckets[].Name", "--output", "json"});
    for (const auto& name : names) {
        EXPECT_EQ(listed.find("\"" + name + "\"") != std::string::npos, loose) << name;
        EXPECT_TRUE(!loose || op(s_.client, &Quilo::deleteBucket, name).ok()) << name;
    }
}

TEST_P(Buckets, CopyWithinAndAcrossBuckets) {
    auto& client = s_.client;
    const auto from = s_.bucket(), to = s_.addBucket();
    std::string bytes;
    for (int i = 0; i < 70000; ++i)
        bytes += static_cast<char>((i * 131 + i / 7) % 256);
    const auto put = test::upload(client, from, "src/data.bin", s_.file("data", bytes));
    ASSERT_TRUE(put.ok()) << put.summary();

    for (const auto& [bucket, key] : {std::pair{from, std::string("dst/copy.bin")},
                                      std::pair{to, std::string("src/data.bin")}}) {
        const auto copied = test::copy(client, from, "src/data.bin", bucket, key);
        ASSERT_TRUE(copied.ok()) << bucket << ": " << copied.summary();
        EXPECT_EQ(copied.request()->etag(), put.request()->etag());
        const auto fetched = test::download(client, bucket, key);
        EXPECT_TRUE(fetched.ok() && fetched.request()->responseData() == bytes) << key;
    }
    EXPECT_TRUE(failedOnce(test::copy(client, from, "src/none", to, "none"), ErrorKind::service,
                           404, "NoSuchKey"));
}

QUILO_ON_BOTH_SERVERS(Buckets);

TEST(BucketMisuse, AnEmptyNameFailsWithoutSending) {
    test::SharedStateGuard restore;
    test::FaultServer server;
    const auto host = S3Request::defaultHost();
    S3Request::setDefaultHost(server.host());
    Quilo::GlobalConfig("AKIDEXAMPLE", "secret");
    for (const auto operation : {&Quilo::createBucket, &Quilo::deleteBucket})
        EXPECT_TRUE(failedOnce(op(*Quilo::sharedInstance(), operation, ""), ErrorKind::misuse, 0,
                               "MissingBucket"));
    EXPECT_EQ(server.requestCount(), 0u);
    S3Request::setDefaultHost(host);
}

}  // namespace
}  // namespace quilo
