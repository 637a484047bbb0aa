#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "quilo/requestlib/S3ObjectRequest.hpp"
#include "support/FaultServer.hpp"
#include "support/RequestWatch.hpp"

namespace quilo::test {
namespace {

using Hook = RequestWatch::Hook;

std::shared_ptr<S3ObjectRequest> copyRequest(const FaultServer& server, std::string srcKey) {
    auto request = S3ObjectRequest::COPYRequestFromBucket("src-bucket", std::move(srcKey),
                                                          "des-bucket", "des/key");
    request->setHost(server.host());
    request->setAccessKey("AKIDEXAMPLE");
    request->setSecretAccessKey("wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY");
    return request;
}

const std::string kCopyResult =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<CopyObjectResult><LastModified>2024-05-01T10:20:30.000Z</LastModified>"
    "<ETag>&quot;9b2cf535f27731c974343645a3985328&quot;</ETag></CopyObjectResult>";

// A copy can fail after the service has sent its 200: the body then is an <Error>.
TEST(CopyRequest, AnErrorDocumentUnderA200IsAFailure) {
    FaultServer server([](const ServedRequest&) {
        return FaultAction::reply(200,
                                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                  "<Error><Code>InternalError</Code>"
                                  "<Message>We encountered an internal error.</Message>"
                                  "<RequestId>4442587FB7D0A2F9</RequestId></Error>")
            .header("Content-Type", "application/xml");
    });
    auto request = copyRequest(server, "src/key");
    RequestWatch watch(*request);
    request->startAsynchronous();
    ASSERT_TRUE(watch.waitForEnd());

    EXPECT_EQ(watch.count(Hook::failed), 1);
    EXPECT_EQ(watch.count(Hook::finished), 0);
    ASSERT_TRUE(request->error());
    EXPECT_EQ(request->error()->kind, ErrorKind::service) << request->error()->description();
    EXPECT_EQ(request->error()->code, "InternalError");
    EXPECT_EQ(request->error()->message, "We encountered an internal error.");
    EXPECT_EQ(request->error()->requestId, "4442587FB7D0A2F9");
}

TEST(CopyRequest, AHostileSourceKeyGoesOutPercentEncoded) {
    FaultServer server([](const ServedRequest&) { return FaultAction::reply(200, kCopyResult); });
    auto request = copyRequest(server, "dir/ключ ?#+%2F../x&=~");
    RequestWatch watch(*request);
    request->startAsynchronous();
    ASSERT_TRUE(watch.waitForEnd());
    ASSERT_EQ(watch.count(Hook::finished), 1)
        << (request->error() ? request->error()->description() : "");
    EXPECT_EQ(request->etag(), "9b2cf535f27731c974343645a3985328");

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto& served = requests.front();
    EXPECT_EQ(served.method, "PUT");
    EXPECT_EQ(served.target, "/des-bucket/des/key");
    ASSERT_TRUE(served.headers.contains("x-amz-copy-source"));
    // Slashes stay, as in a path; everything else outside A-Z a-z 0-9 - . _ ~ is escaped.
    EXPECT_EQ(served.headers.at("x-amz-copy-source"),
              "/src-bucket/dir/%D0%BA%D0%BB%D1%8E%D1%87%20%3F%23%2B%252F../x%26%3D~");
}

}  // namespace
}  // namespace quilo::test
