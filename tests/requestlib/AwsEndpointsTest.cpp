// Addressing and regions on amazonaws.com, played by a local server that every connection
// reaches whatever host its URL names: the Host header of each request says where it was aimed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "quilo/requestlib/S3ObjectRequest.hpp"
#include "requestlib/BucketRegions.hpp"
#include "requestlib/ConnectTo.hpp"
#include "support/FaultServer.hpp"
#include "support/RequestWatch.hpp"

namespace quilo::test {
namespace {

// "Host region" of each request the server read, the region from its Authorization.
std::vector<std::string> aims(const FaultServer& server) {
    std::vector<std::string> out;
    for (const auto& request : server.requests()) {
        const std::string credential = headerOf(request.headers, "Authorization");
        const auto date = credential.find('/', credential.find("Credential="));
        const auto region = credential.find('/', date + 1);
        out.push_back(headerOf(request.headers, "Host") + " " +
                      credential.substr(region + 1, credential.find('/', region + 1) - region - 1));
    }
    return out;
}

class AwsEndpoints : public ::testing::Test {
  protected:
    void SetUp() override {
        S3Request::setDefaultHost("s3.amazonaws.com");
        S3Request::setDefaultRegion("");
    }
    void TearDown() override {
        S3Request::setDefaultHost(host_);
        detail::setConnectTo({});
        detail::BucketRegions::clear();
        S3Request::setDefaultAddressingStyle(AddressingStyle::automatic);
    }
    // Every connection goes to `server`.
    static void reach(const FaultServer& server) {
        detail::setConnectTo({"::127.0.0.1:" + std::to_string(server.port())});
    }
    static std::shared_ptr<S3ObjectRequest> get(const std::string& bucket,
                                                const std::string& host = "") {
        auto request = S3ObjectRequest::requestWithBucket(bucket, "k");
        if (!host.empty())
            request->setHost(host);
        request->setAccessKey("AKID");
        request->setSecretAccessKey("secret");
        return request;
    }

    const std::string host_ = S3Request::defaultHost();
};

const std::string kMalformed =
    "<Error><Code>AuthorizationHeaderMalformed</Code><Region>eu-west-1</Region></Error>";

// Each way a service names the bucket's region moves the request there once, at the library's
// own endpoint; a second move, or a region that is no region, ends it.
TEST_F(AwsEndpoints, ARegionAnswerIsFollowedOnceToTheRegionalEndpoint) {
    const auto named = [](int status, const char* region) {
        return FaultAction::reply(status).header("x-amz-bucket-region", region);
    };
    const std::string here = "bucket.s3.amazonaws.com us-east-1",
                      there = "bucket.s3.eu-west-1.amazonaws.com eu-west-1";
    const struct {
        std::vector<FaultAction> script;  // then 200
        std::string outcome;
        std::vector<std::string> aims;
        std::string bucket = "bucket";
    } cases[] = {
        {{named(301, "eu-west-1")}, "finished", {here, there}},
        {{FaultAction::reply(400, kMalformed)}, "finished", {here, there}},
        {{named(403, "eu-west-1")}, "finished", {here, there}},
        // Not a host label: path-style, even on AWS.
        {{named(301, "eu-west-1")},
         "finished",
         {"s3.amazonaws.com us-east-1", "s3.eu-west-1.amazonaws.com eu-west-1"},
         "Bucket_1"},
        {{named(301, "eu-west-1").header("Location", "http://elsewhere.example/k")},
         "finished",
         {here, there}},
        {{named(301, "eu-west-1"), named(301, "us-west-2")},
         "failed service error PermanentRedirect",
         {here, there}},
        {{named(301, "evil.example/")}, "failed service error PermanentRedirect", {here}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.aims.size() > 1 ? c.aims[1] + " " + c.outcome : c.outcome);
        detail::BucketRegions::clear();
        FaultServer server([&](const ServedRequest& request) {
            return request.sequence < c.script.size() ? c.script[request.sequence]
                                                      : FaultAction::reply(200);
        });
        reach(server);
        auto request = get(c.bucket);
        RequestWatch watch(*request);
        EXPECT_EQ(watch.run(*request), c.outcome);
        EXPECT_EQ(aims(server), c.aims);
        EXPECT_EQ(watch.count(RequestWatch::redirected), static_cast<int>(c.aims.size()) - 1);
    }
}

// Known by host and bucket: the same bucket goes straight to its region, presigned links too;
// another bucket, or the same name on another host, does not.
TEST_F(AwsEndpoints, TheRegionIsRememberedForTheHostAndBucket) {
    FaultServer server([](const ServedRequest& request) {
        return request.sequence == 0 ? FaultAction::reply(400, kMalformed)
                                     : FaultAction::reply(200);
    });
    reach(server);
    const std::string local = "localhost:" + std::to_string(server.port());
    for (const auto& request : {get("bucket"), get("bucket"), get("other"), get("bucket", local)})
        EXPECT_EQ(RequestWatch(*request).run(*request), "finished");
    EXPECT_EQ(aims(server),
              (std::vector<std::string>{"bucket.s3.amazonaws.com us-east-1",
                                        "bucket.s3.eu-west-1.amazonaws.com eu-west-1",
                                        "bucket.s3.eu-west-1.amazonaws.com eu-west-1",
                                        "other.s3.amazonaws.com us-east-1", local + " us-east-1"}));
    const auto link = get("bucket")->presignedURL("GET", std::chrono::seconds(60)).value_or("");
    EXPECT_TRUE(link.starts_with("http://bucket.s3.eu-west-1.amazonaws.com/k?")) << link;
    EXPECT_NE(link.find("%2Feu-west-1%2Fs3%2F"), std::string::npos) << link;
}

// The bucket goes in the host on AWS when it can; a regional host names the region to sign
// for; a token travels signed.
TEST_F(AwsEndpoints, AddressingFollowsTheStyleAndTheHost) {
    FaultServer server;
    reach(server);
    const struct {
        AddressingStyle style;
        std::string host, bucket, sent;  // "Host region target"
    } cases[] = {
        {AddressingStyle::automatic, "s3.eu-west-1.amazonaws.com", "bucket",
         "bucket.s3.eu-west-1.amazonaws.com eu-west-1 /k"},
        {AddressingStyle::path, "s3.amazonaws.com", "bucket",
         "s3.amazonaws.com us-east-1 /bucket/k"},
        {AddressingStyle::automatic, "s3.amazonaws.com", "a.b.c",
         "a.b.c.s3.amazonaws.com us-east-1 /k"},
        {AddressingStyle::virtualHosted, "localhost:1", "bucket",
         "bucket.localhost:1 us-east-1 /k"},
        {AddressingStyle::automatic, "localhost:1", "bucket", "localhost:1 us-east-1 /bucket/k"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sent);
        S3Request::setDefaultAddressingStyle(c.style);
        const auto before = server.requestCount();
        auto request = get(c.bucket, c.host);
        request->setSessionToken("token");
        ASSERT_EQ(RequestWatch(*request).run(*request), "finished");
        const auto served = server.requests().back();
        EXPECT_EQ(aims(server).back() + " " + served.target, c.sent);
        EXPECT_EQ(server.requestCount(), before + 1);
        EXPECT_EQ(headerOf(served.headers, "x-amz-security-token"), "token");
        EXPECT_NE(headerOf(served.headers, "Authorization").find(";x-amz-security-token"),
                  std::string::npos);
    }
    // Forced on a name that cannot be a label, or dots over TLS: refused, nothing sent.
    S3Request::setDefaultAddressingStyle(AddressingStyle::virtualHosted);
    for (const auto scheme : {S3RequestSchemeHTTP, S3RequestSchemeHTTPS}) {
        auto request = get(scheme == S3RequestSchemeHTTP ? "Bucket_1" : "a.b.c");
        request->setRequestScheme(scheme);
        EXPECT_EQ(RequestWatch(*request).run(*request), "failed misuse InvalidBucketName");
    }
    EXPECT_EQ(server.requestCount(), std::size(cases));
}

}  // namespace
}  // namespace quilo::test
