#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>

#include "integration/Blocking.hpp"
#include "quilo/quilo.hpp"
#include "support/Servers.hpp"
#include "support/SharedState.hpp"

namespace quilo {
namespace {

test::Ended<QuiloServiceRequest> listBuckets(Quilo& client) {
    return test::ended<QuiloServiceRequest>([&](auto& o) { client.listBuckets(o.callbacks()); });
}

using ServerCase = std::pair<const char*, test::Server (*)()>;

class ListBuckets : public ::testing::TestWithParam<ServerCase> {
  protected:
    test::SharedStateGuard restore_;
};

TEST_P(ListBuckets, FindsABucketMadeWithAwscliWithItsDateAndOwner) {
    const test::Server server = GetParam().second();
    const std::string name = test::uniqueBucketName("list-" + server.name);
    const auto made = test::aws(server, {"s3api", "create-bucket", "--bucket", name});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    const auto dated =
        test::aws(server, {"s3api", "list-buckets", "--query",
                           "Buckets[?Name=='" + name + "'].CreationDate", "--output", "text"});
    test::useServer(server);
    const auto listed = listBuckets(*Quilo::sharedInstance());
    test::aws(server, {"s3api", "delete-bucket", "--bucket", name});

    ASSERT_TRUE(listed.ok()) << listed.summary();
    const auto& buckets = listed.request()->buckets();
    const auto found = std::find_if(buckets.begin(), buckets.end(),
                                    [&](const S3Bucket& bucket) { return bucket.name == name; });
    ASSERT_NE(found, buckets.end()) << name << " is not among " << buckets.size();
    // awscli shows "2024-05-01T10:20:30" and then its own choice of fraction and zone.
    ASSERT_GE(dated.out.size(), 19u) << dated.err;
    EXPECT_EQ(found->creationDate.substr(0, 19), dated.out.substr(0, 19));
    ASSERT_TRUE(listed.request()->owner());
    const std::string owner = listed.request()->owner()->id;
    EXPECT_TRUE(server.userId.empty() ? !owner.empty() : owner == server.userId) << owner;
}

INSTANTIATE_TEST_SUITE_P(Servers, ListBuckets,
                         ::testing::Values(ServerCase{"rgw", &test::rgw},
                                           ServerCase{"rgwHttps", &test::rgwHttps},
                                           ServerCase{"s3rver", &test::s3rver}),
                         [](const auto& info) { return std::string(info.param.first); });

TEST(ListBucketsFailure, AWrongSecretOrAnUntrustedCertificateFails) {
    test::SharedStateGuard restore;
    const test::Server server = test::rgw();
    test::useServer(server);
    // RGW echoes what it was sent; the secret must not be in it.
    const std::string secret = server.secretKey + "x";
    Quilo wrongSecret(server.accessKey, secret);
    const auto refused = listBuckets(wrongSecret);
    ASSERT_TRUE(test::failedOnce(refused, ErrorKind::service, 403, "SignatureDoesNotMatch"));
    EXPECT_EQ(refused.request()->error()->description().find(secret), std::string::npos);

    test::useServer(test::rgwHttps());
    HTTPRequest::setDefaultCAFile(std::nullopt);  // the system's store, which lacks the test CA
    EXPECT_TRUE(test::failedOnce(listBuckets(*Quilo::sharedInstance()), ErrorKind::tls));
}

}  // namespace
}  // namespace quilo
