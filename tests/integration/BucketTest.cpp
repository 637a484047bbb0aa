#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "integration/ObjectTestSupport.hpp"
#include "quilo/quilo.hpp"
#include "support/FaultServer.hpp"
#include "support/SharedState.hpp"

namespace quilo {
namespace {

using test::BucketEnded;
using test::call;
using test::Server;
using test::ServerCase;

class Buckets : public ::testing::TestWithParam<ServerCase> {
  protected:
    void SetUp() override {
        server_ = GetParam().server();
        test::useServer(server_);
    }

    Quilo& client() { return *Quilo::sharedInstance(); }
    BucketEnded create(const std::string& name) {
        return call<QuiloBucketRequest>(
            [&](Callbacks<QuiloBucketRequest> cb) { client().createBucket(name, cb); });
    }
    BucketEnded remove(const std::string& name) {
        return call<QuiloBucketRequest>(
            [&](Callbacks<QuiloBucketRequest> cb) { client().deleteBucket(name, cb); });
    }

    test::SharedStateGuard restore_;
    Server server_;
};

TEST_P(Buckets, CreateThenDelete) {
    const auto name = test::uniqueBucketName("made-" + server_.name);
    const auto made = create(name);
    ASSERT_TRUE(made.ok()) << made.summary;
    EXPECT_EQ(made.request->bucket(), name);
    const auto seen = test::aws(server_, {"s3api", "head-bucket", "--bucket", name});
    EXPECT_EQ(seen.exitCode, 0) << seen.err;

    const auto removed = remove(name);
    ASSERT_TRUE(removed.ok()) << removed.summary;
    const auto gone = test::listPage(client(), name, 10);
    EXPECT_EQ(gone.error().code, "NoSuchBucket") << gone.summary;
}

TEST_P(Buckets, DeleteRefusesABucketThatHoldsAnObject) {
    test::TempDir dir;
    test::ScratchBucket bucket(client(), server_, "full-" + server_.name);
    const auto put = test::upload(client(), bucket.name(), "kept", dir.file("kept", "kept"));
    ASSERT_TRUE(put.ok()) << put.summary;

    const auto refused = remove(bucket.name());
    EXPECT_EQ(refused.error().kind, ErrorKind::service) << refused.summary;
    EXPECT_EQ(refused.error().code, "BucketNotEmpty") << refused.summary;
    EXPECT_EQ(refused.error().httpStatus, 409);
    // Still there, object and all.
    EXPECT_EQ(test::listAll(client(), bucket.name(), 10).keys(), std::vector<std::string>{"kept"});
}

TEST_P(Buckets, DeleteOfAMissingBucketFailsWithNoSuchBucket) {
    const auto refused = remove(test::uniqueBucketName("never-made"));
    EXPECT_EQ(refused.error().kind, ErrorKind::service) << refused.summary;
    EXPECT_EQ(refused.error().code, "NoSuchBucket") << refused.summary;
    EXPECT_EQ(refused.error().httpStatus, 404);
}

// The library leaves bucket names to the server: each goes out as given, and the server's own
// answer comes back. RGW refuses every one of these. s3rver's check lets one stray character
// between two valid ones through, so it creates the first and third under exactly that name.
TEST_P(Buckets, NamesWithUpperCaseOrSpacesAreTheServersToJudge) {
    const bool loose = server_.name == "s3rver";
    const auto base = test::uniqueBucketName("odd");
    const std::vector<std::pair<std::string, bool>> names = {{base + "-Upper", loose},
                                                             {base + "-UPPER", false},
                                                             {base + " space", loose},
                                                             {base + "  spaces", false}};
    for (const auto& [name, accepted] : names) {
        SCOPED_TRACE("\"" + name + "\"");
        const auto answer = create(name);
        ASSERT_TRUE(answer.request);
        EXPECT_EQ(answer.request->bucket(), name);
        if (accepted) {
            EXPECT_TRUE(answer.ok()) << answer.summary;
            continue;
        }
        EXPECT_EQ(answer.error().kind, ErrorKind::service) << answer.summary;
        EXPECT_EQ(answer.error().code, "InvalidBucketName") << answer.summary;
        EXPECT_EQ(answer.error().httpStatus, 400);
    }

    const auto listed = test::aws(
        server_, {"s3api", "list-buckets", "--query", "Buckets[].Name", "--output", "json"});
    ASSERT_EQ(listed.exitCode, 0) << listed.err;
    for (const auto& [name, accepted] : names) {
        EXPECT_EQ(listed.out.find("\"" + name + "\"") != std::string::npos, accepted) << name;
        if (accepted) {
            const auto removed = remove(name);
            EXPECT_TRUE(removed.ok()) << name << ": " << removed.summary;
        }
    }
    // Nothing under a name the library might have made of these.
    EXPECT_EQ(listed.out.find(base + "-upper"), std::string::npos);
    EXPECT_EQ(listed.out.find(base + "%20"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Servers, Buckets,
                         ::testing::Values(ServerCase{"rgw", &test::rgw},
                                           ServerCase{"s3rver", &test::s3rver}),
                         test::serverCaseName);

TEST(BucketMisuse, AnEmptyNameFailsWithoutSending) {
    test::SharedStateGuard restore;
    test::FaultServer server;
    const auto host = S3Request::defaultHost();
    S3Request::setDefaultHost(server.host());
    Quilo::GlobalConfig("AKIDEXAMPLE", "secret");

    for (const auto& ended : {call<QuiloBucketRequest>([](Callbacks<QuiloBucketRequest> cb) {
                                  Quilo::sharedInstance()->createBucket("", cb);
                              }),
                              call<QuiloBucketRequest>([](Callbacks<QuiloBucketRequest> cb) {
                                  Quilo::sharedInstance()->deleteBucket("", cb);
                              })}) {
        EXPECT_EQ(ended.error().kind, ErrorKind::misuse) << ended.summary;
        EXPECT_EQ(ended.error().code, "MissingBucket") << ended.summary;
        EXPECT_EQ(ended.error().httpStatus, 0);
    }
    EXPECT_EQ(server.requestCount(), 0u);
    S3Request::setDefaultHost(host);
}

class CopyObject : public Buckets {};

TEST_P(CopyObject, WithinAndAcrossBuckets) {
    test::TempDir dir;
    test::ScratchBucket from(client(), server_, "copy-from-" + server_.name);
    test::ScratchBucket to(client(), server_, "copy-to-" + server_.name);
    std::string bytes;
    for (int i = 0; i < 70000; ++i)
        bytes += static_cast<char>((i * 131 + i / 7) % 256);
    const auto put = test::upload(client(), from.name(), "src/data.bin", dir.file("data", bytes));
    ASSERT_TRUE(put.ok()) << put.summary;

    for (const auto& [bucket, key] : {std::pair{from.name(), std::string("dst/copy.bin")},
                                      std::pair{to.name(), std::string("src/data.bin")}}) {
        SCOPED_TRACE(bucket + "/" + key);
        const auto copied = test::copy(client(), from.name(), "src/data.bin", bucket, key);
        ASSERT_TRUE(copied.ok()) << copied.summary;
        EXPECT_EQ(copied.request->etag(), put.request->etag());
        const auto fetched = test::download(client(), bucket, key);
        ASSERT_TRUE(fetched.ok()) << fetched.summary;
        EXPECT_TRUE(fetched.request->responseData() == bytes)
            << fetched.request->responseData().size() << " bytes";
    }
    EXPECT_EQ(test::listAll(client(), from.name(), 10).keys(),
              (std::vector<std::string>{"dst/copy.bin", "src/data.bin"}));

    const auto missing = test::copy(client(), from.name(), "src/none", to.name(), "none");
    EXPECT_EQ(missing.error().kind, ErrorKind::service) << missing.summary;
    EXPECT_EQ(missing.error().code, "NoSuchKey") << missing.summary;
    EXPECT_EQ(missing.error().httpStatus, 404);
}

INSTANTIATE_TEST_SUITE_P(Servers, CopyObject,
                         ::testing::Values(ServerCase{"rgw", &test::rgw},
                                           ServerCase{"s3rver", &test::s3rver}),
                         test::serverCaseName);

}  // namespace
}  // namespace quilo
