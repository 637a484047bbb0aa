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

test::Outcome<QuiloServiceRequest> listBuckets(Quilo& client) {
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

    ASSERT_EQ(listed.count(test::Event::finished), 1) << listed.summary();
    ASSERT_EQ(listed.count(test::Event::failed), 0) << listed.summary();
    const auto& buckets = listed.request()->buckets();
    const auto found = std::find_if(buckets.begin(), buckets.end(),
                                    [&](const S3Bucket& bucket) { return bucket.name == name; });
    ASSERT_NE(found, buckets.end()) << name << " is not among " << buckets.size();
    // awscli shows "2024-05-01T10:20:30" and then its own choice of fraction and zone.
    ASSERT_GE(dated.out.size(), 19u) << dated.err;
    EXPECT_EQ(found->creationDate.substr(0, 19), dated.out.substr(0, 19));
    ASSERT_TRUE(listed.request()->owner());
    if (!server.userId.empty()) {
        EXPECT_EQ(listed.request()->owner()->id, server.userId);
    } else {
        EXPECT_FALSE(listed.request()->owner()->id.empty());
    }
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
    Quilo wrongSecret(server.accessKey, server.secretKey + "x");
    EXPECT_TRUE(test::failedOnce(listBuckets(wrongSecret), ErrorKind::service, 403,
                                 "SignatureDoesNotMatch"));

    test::useServer(test::rgwHttps());
    HTTPRequest::setDefaultCAFile(std::nullopt);  // the system's store, which lacks the test CA
    EXPECT_TRUE(test::failedOnce(listBuckets(*Quilo::sharedInstance()), ErrorKind::tls));
}

}  // namespace
}  // namespace quilo
