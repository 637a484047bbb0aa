#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "integration/ObjectTestSupport.hpp"
#include "quilo/quilo.hpp"
#include "support/Servers.hpp"
#include "support/SharedState.hpp"

namespace quilo {
namespace {

test::Ended<QuiloServiceRequest> listBuckets(Quilo& client) {
    return test::ended<QuiloServiceRequest>([&](auto& o) { client.listBuckets(o.callbacks()); });
}

class ListBuckets : public test::BothServers {};

TEST_P(ListBuckets, FindsABucketMadeWithAwscliWithItsDateAndOwner) {
    const test::Server& server = s_.server;
    const std::string name = test::uniqueBucketName("list-" + server.name);
    const auto made = test::aws(server, {"s3api", "create-bucket", "--bucket", name});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    const auto dated =
        test::aws(server, {"s3api", "list-buckets", "--query",
                           "Buckets[?Name=='" + name + "'].CreationDate", "--output", "text"});
    const auto listed = listBuckets(s_.client);
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

QUILO_ON_BOTH_SERVERS(ListBuckets);

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
