// Addressing and regions on amazonaws.com, played by a local server that every connection
// reaches whatever host its URL names: the Host header of each request says where it was aimed.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "quilo/requestlib/s3/S3ObjectRequest.hpp"
#include "requestlib/http/ConnectTo.hpp"
#include "requestlib/s3/BucketRegions.hpp"
#include "support/FaultServer.hpp"
#include "support/RequestWatch.hpp"

namespace quilo::test {
namespace {

// "Host region" of each request the server read, the region as its Authorization signs for.
std::vector<std::string> aims(const FaultServer& server) {
    std::vector<std::string> out;
    for (const auto& request : server.requests()) {
        std::smatch scope;
        const auto authorization = headerOf(request.headers, "Authorization");
        std::regex_search(authorization, scope, std::regex("Credential=[^/]*/[^/]*/([^/]*)/"));
        out.push_back(headerOf(request.headers, "Host") + " " + scope[1].str());
    }
    return out;
}

std::shared_ptr<S3ObjectRequest> get(const std::string& bucket,
                                     const std::string& host = "s3.amazonaws.com") {
    auto request = S3ObjectRequest::requestWithBucket(bucket, "k");
    request->setHost(host);
    request->setAccessKey("AKID");
    request->setSecretAccessKey("secret");
    return request;
}

// Every connection goes to `server`.
void reach(const FaultServer& server) {
    detail::setConnectTo({"::127.0.0.1:" + std::to_string(server.port())});
}

class AwsEndpoints : public ::testing::Test {
  protected:
    void SetUp() override { S3Request::setDefaultRegion(""); }  // the one the host names
    void TearDown() override {
        S3Request::setDefaultAddressingStyle(AddressingStyle::automatic);
        detail::setConnectTo({});
        detail::BucketRegions::clear();
    }
};

FaultAction named(int status, const char* region) {
    return FaultAction::reply(status).header("x-amz-bucket-region", region);
}
const FaultAction kMalformed = FaultAction::reply(
    400, "<Error><Code>AuthorizationHeaderMalformed</Code><Region>eu-west-1</Region></Error>");

// Each way a service names the bucket's region moves the request there once, at the library's
// own endpoint; a second move, or a region that is no region, ends it.
TEST_F(AwsEndpoints, ARegionAnswerIsFollowedOnceToTheRegionalEndpoint) {
    const std::string here = "bucket.s3.amazonaws.com us-east-1",
                      there = "bucket.s3.eu-west-1.amazonaws.com eu-west-1", moved = "finished";
    const struct {
        std::vector<FaultAction> script;  // then 200
        std::string outcome;
        std::vector<std::string> aims;
        std::string bucket = "bucket";
    } cases[] = {
        {{named(301, "eu-west-1")}, moved, {here, there}},
        {{kMalformed}, moved, {here, there}},
        {{named(403, "eu-west-1")}, moved, {here, there}},
        {{named(301, "eu-west-1").header("Location", "http://elsewhere.example/k")},
         moved,
         {here, there}},
        {{named(301, "eu-west-1"), named(301, "us-west-2")},
         "failed service error PermanentRedirect",
         {here, there}},
        {{named(301, "evil.example/")}, "failed service error PermanentRedirect", {here}},
        // Not a host label: path-style, even on AWS.
        {{kMalformed},
         moved,
         {"s3.amazonaws.com us-east-1", "s3.eu-west-1.amazonaws.com eu-west-1"},
         "Bucket_1"},
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
// another bucket, or the same name on another host, does not; a regional host names its own.
// A token travels signed.
TEST_F(AwsEndpoints, TheRegionIsRememberedForTheHostAndBucket) {
    FaultServer server([](const ServedRequest& request) {
        return request.sequence == 0 ? kMalformed : FaultAction::reply(200);
    });
    reach(server);
    const std::string local = "localhost:" + std::to_string(server.port());
    auto withToken = get("bucket");
    withToken->setSessionToken("token");
    for (const auto& request : {get("bucket"), withToken, get("other"), get("bucket", local),
                                get("other", "s3.eu-west-1.amazonaws.com")})
        EXPECT_EQ(RequestWatch(*request).run(*request), "finished");
    EXPECT_EQ(
        aims(server),
        (std::vector<std::string>{
            "bucket.s3.amazonaws.com us-east-1", "bucket.s3.eu-west-1.amazonaws.com eu-west-1",
            "bucket.s3.eu-west-1.amazonaws.com eu-west-1", "other.s3.amazonaws.com us-east-1",
            local + " us-east-1", "other.s3.eu-west-1.amazonaws.com eu-west-1"}));
    const auto signedToken = server.requests()[2].headers;
    EXPECT_EQ(headerOf(signedToken, "x-amz-security-token"), "token");
    EXPECT_NE(headerOf(signedToken, "Authorization").find(";x-amz-security-token,"),
              std::string::npos);
    const auto link = get("bucket")->presignedURL("GET", std::chrono::seconds(60)).value_or("");
    EXPECT_TRUE(link.starts_with("http://bucket.s3.eu-west-1.amazonaws.com/k?")) << link;
    EXPECT_NE(link.find("%2Feu-west-1%2Fs3%2F"), std::string::npos) << link;
    // Over TLS a wildcard certificate covers one label: a dotted name stays in the path.
    auto dotted = get("a.b.c");
    dotted->setRequestScheme(S3RequestSchemeHTTPS);
    EXPECT_TRUE(dotted->presignedURL("GET", std::chrono::seconds(1))
                    .value_or("")
                    .starts_with("https://s3.amazonaws.com/a.b.c/k?"));
}

}  // namespace
}  // namespace quilo::test
