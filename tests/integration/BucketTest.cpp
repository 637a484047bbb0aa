#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "integration/ObjectTestSupport.hpp"
#include "quilo/quilo.hpp"
#include "support/FaultServer.hpp"

namespace quilo {
namespace {

using test::failedWith;
using test::op;

class Buckets : public test::BothServers {};

TEST_P(Buckets, RefusedWhileFullThenDeletedOnce) {
    auto& client = s_.client;
    const auto name = s_.bucket();
    const auto head = op(client, &Quilo::getBucketMeta, name);
    EXPECT_TRUE(head.ok()) << head.summary();
    ASSERT_TRUE(test::upload(client, name, "kept", s_.file("kept", "kept")).ok());
    EXPECT_TRUE(failedWith(op(client, &Quilo::deleteBucket, name), ErrorKind::service,
                           "BucketNotEmpty", 409));
    EXPECT_EQ(test::listAll(client, name, 10).keys, std::vector<std::string>{"kept"});

    ASSERT_TRUE(op(client, &Quilo::deleteObject, {{"bucket", name}, {"key", "kept"}}).ok());
    const auto removed = op(client, &Quilo::deleteBucket, name);
    ASSERT_TRUE(removed.ok()) << removed.summary();
    s_.buckets.clear();
    // A HEAD answer has no body: the code comes from the status alone.
    EXPECT_TRUE(failedWith(op(client, &Quilo::getBucketMeta, name), ErrorKind::service,
                           "NoSuchBucket", 404));
    EXPECT_TRUE(failedWith(op(client, &Quilo::deleteBucket, name), ErrorKind::service,
                           "NoSuchBucket", 404));
}

// Names go out as given and the server judges them. RGW refuses all four; s3rver lets one
// stray character between two valid ones through and creates the bucket under exactly that name.
TEST_P(Buckets, NamesWithUpperCaseOrSpacesAreTheServersToJudge) {
    const bool loose = GetParam() == "s3rver";
    const auto base = test::uniqueBucketName("odd");
    const std::vector<std::pair<std::string, bool>> names = {{base + "-Upper", loose},
                                                             {base + "-UPPER", false},
                                                             {base + " space", loose},
                                                             {base + "  two", false}};
    for (const auto& [name, accepted] : names) {
        const auto answer = op(s_.client, &Quilo::createBucket, name);
        EXPECT_TRUE(accepted ? ::testing::AssertionResult(answer.ok())
                             : failedWith(answer, ErrorKind::service, "InvalidBucketName", 400))
            << name << ": " << answer.summary();
    }
    const auto listed = test::awsOut(
        s_.server, {"s3api", "list-buckets", "--query", "Buckets[].Name", "--output", "json"});
    for (const auto& [name, accepted] : names) {
        EXPECT_EQ(listed.find("\"" + name + "\"") != std::string::npos, accepted) << name;
        EXPECT_TRUE(!accepted || op(s_.client, &Quilo::deleteBucket, name).ok()) << name;
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
        EXPECT_EQ(copied.request->etag(), put.request->etag());
        const auto fetched = test::download(client, bucket, key);
        ASSERT_TRUE(fetched.ok()) << fetched.summary();
        EXPECT_TRUE(fetched.request->responseData() == bytes) << bucket << "/" << key;
    }
    EXPECT_TRUE(failedWith(test::copy(client, from, "src/none", to, "none"), ErrorKind::service,
                           "NoSuchKey", 404));
}

INSTANTIATE_TEST_SUITE_P(Servers, Buckets, test::bothServers(), test::serverName);

TEST(BucketMisuse, AnEmptyNameFailsWithoutSending) {
    test::SharedStateGuard restore;
    test::FaultServer server;
    const auto host = S3Request::defaultHost();
    S3Request::setDefaultHost(server.host());
    Quilo::GlobalConfig("AKIDEXAMPLE", "secret");
    for (const auto operation : {&Quilo::createBucket, &Quilo::deleteBucket})
        EXPECT_TRUE(failedWith(op(*Quilo::sharedInstance(), operation, ""), ErrorKind::misuse,
                               "MissingBucket", 0));
    EXPECT_EQ(server.requestCount(), 0u);
    S3Request::setDefaultHost(host);
}

}  // namespace
}  // namespace quilo
