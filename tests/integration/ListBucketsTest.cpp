#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "quilo/quilo.hpp"
#include "support/Outcome.hpp"
#include "support/Servers.hpp"
#include "support/SharedState.hpp"

namespace quilo {
namespace {

using test::Event;
using test::Outcome;
using test::Server;

// A bucket made with awscli for one test, removed again with it.
class AwsBucket {
  public:
    AwsBucket(Server server, std::string name)
        : server_(std::move(server)), name_(std::move(name)) {
        const auto made = test::aws(server_, {"s3api", "create-bucket", "--bucket", name_});
        EXPECT_EQ(made.exitCode, 0) << made.err;
    }
    ~AwsBucket() { test::aws(server_, {"s3api", "delete-bucket", "--bucket", name_}); }
    const std::string& name() const { return name_; }

    // "2024-05-01T10:20:30", as awscli reports the creation time.
    std::string creationSecond() const {
        const auto listed = test::aws(
            server_, {"s3api", "list-buckets", "--query",
                      "Buckets[?Name=='" + name_ + "'].CreationDate", "--output", "text"});
        EXPECT_EQ(listed.exitCode, 0) << listed.err;
        EXPECT_GE(listed.out.size(), 19u) << "awscli does not list " << name_;
        return listed.out.substr(0, 19);
    }

  private:
    Server server_;
    std::string name_;
};

struct ServerCase {
    const char* name;
    Server (*server)();
};

void PrintTo(const ServerCase& c, std::ostream* out) {
    *out << c.name;
}

class ListBuckets : public ::testing::TestWithParam<ServerCase> {
  protected:
    test::SharedStateGuard restore_;
};

TEST_P(ListBuckets, FindsABucketMadeWithAwscli) {
    const Server server = GetParam().server();
    AwsBucket bucket(server, test::uniqueBucketName("list-" + server.name));
    test::useServer(server);

    Outcome<QuiloServiceRequest> outcome;
    Quilo::sharedInstance()->listBuckets(outcome.callbacks());
    ASSERT_TRUE(outcome.waitForEnd()) << outcome.summary();
    ASSERT_EQ(outcome.count(Event::finished), 1) << outcome.summary();
    EXPECT_EQ(outcome.count(Event::failed), 0);
    EXPECT_EQ(outcome.count(Event::started), 1);
    EXPECT_TRUE(outcome.oneRequest());

    const auto request = outcome.request();
    const auto& buckets = request->buckets();
    const auto found = std::find_if(buckets.begin(), buckets.end(),
                                    [&](const S3Bucket& b) { return b.name == bucket.name(); });
    ASSERT_NE(found, buckets.end()) << bucket.name() << " is not among " << buckets.size();
    EXPECT_EQ(found->creationDate.substr(0, 19), bucket.creationSecond());
    ASSERT_TRUE(request->owner());
    if (!server.userId.empty()) {
        EXPECT_EQ(request->owner()->id, server.userId);
    } else {
        EXPECT_FALSE(request->owner()->id.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, ListBuckets,
                         ::testing::Values(ServerCase{"rgw", &test::rgw},
                                           ServerCase{"rgwHttps", &test::rgwHttps},
                                           ServerCase{"s3rver", &test::s3rver}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ListBucketsFailure, AWrongSecretKeyIsRefusedBySignature) {
    test::SharedStateGuard restore;
    const Server server = test::rgw();
    test::useServer(server);
    Quilo client(server.accessKey, server.secretKey + "x");

    Outcome<QuiloServiceRequest> outcome;
    client.listBuckets(outcome.callbacks());
    ASSERT_TRUE(outcome.waitForEnd()) << outcome.summary();
    ASSERT_EQ(outcome.count(Event::failed), 1) << outcome.summary();
    EXPECT_EQ(outcome.count(Event::finished), 0);
    const auto& error = outcome.request()->error();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind, ErrorKind::service) << error->description();
    EXPECT_EQ(error->code, "SignatureDoesNotMatch") << error->description();
    EXPECT_EQ(error->httpStatus, 403);
}

TEST(ListBucketsFailure, ACertificateOutsideTheTrustedStoreFailsTheHandshake) {
    test::SharedStateGuard restore;
    test::useServer(test::rgwHttps());
    // The system store does not know the test CA.
    HTTPRequest::setDefaultCAFile(std::nullopt);

    Outcome<QuiloServiceRequest> outcome;
    Quilo::sharedInstance()->listBuckets(outcome.callbacks());
    ASSERT_TRUE(outcome.waitForEnd()) << outcome.summary();
    ASSERT_EQ(outcome.count(Event::failed), 1) << outcome.summary();
    EXPECT_EQ(outcome.count(Event::finished), 0);
    ASSERT_TRUE(outcome.request()->error());
    EXPECT_EQ(outcome.request()->error()->kind, ErrorKind::tls)
        << outcome.request()->error()->description();
}

}  // namespace
}  // namespace quilo
