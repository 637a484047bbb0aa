#include <gtest/gtest.h>

#include <memory>

#include "quilo/requestlib/HTTPRequest.hpp"
#include "quilo/requestlib/S3ObjectRequest.hpp"
#include "requestlib/RequestRun.hpp"
#include "support/FaultProxy.hpp"
#include "support/FaultServer.hpp"
#include "support/RequestWatch.hpp"

namespace quilo::test {
namespace {

using namespace std::chrono_literals;
using detail::RetryPolicy;
using Hook = RequestWatch::Hook;

// Faults that only a connection cut at the byte level can make, between the library and a
// local server that answers everything well.
class ThroughProxy : public ::testing::Test {
  protected:
    void SetUp() override { RetryPolicy::setBaseDelay(5ms); }
    void TearDown() override { RetryPolicy::setBaseDelay(100ms); }

    // A HEAD of /bucket/key through the proxy; HEAD answers have no body to cut.
    std::shared_ptr<S3ObjectRequest> head() const {
        auto request = S3ObjectRequest::requestForMetaWithBucket("bucket", "key");
        request->setHost(proxy_.host());
        request->setAccessKey("AKIDEXAMPLE");
        request->setSecretAccessKey("wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY");
        return request;
    }

    FaultServer server_{[](const ServedRequest&) {
        return FaultAction::reply(200).header("ETag", "\"0123456789abcdef0123456789abcdef\"");
    }};
    FaultProxy proxy_{server_.host()};
};

TEST_F(ThroughProxy, AnAnswerCutInsideItsHeadFailsAndIsNotTakenForSuccess) {
    proxy_.setSchedule(FaultProxy::every(1, ProxyFault::cutResponse));
    auto request = head();
    RequestWatch watch(*request);
    request->startAsynchronous();
    ASSERT_TRUE(watch.waitForEnd());
    EXPECT_EQ(watch.count(Hook::finished), 0);
    ASSERT_EQ(watch.count(Hook::failed), 1);
    ASSERT_TRUE(request->error());
    EXPECT_EQ(request->error()->kind, ErrorKind::transport) << request->error()->description();
    EXPECT_EQ(request->error()->code, "TruncatedResponse");
    EXPECT_EQ(request->error()->httpStatus, 200);
    // The answer had begun: no retry.
    EXPECT_EQ(server_.requestCount(), 1u);
    EXPECT_EQ(proxy_.counts().cutResponses, 1u);
}

TEST_F(ThroughProxy, ResetsAndSlowDownsAreRetriedUntilTheAttemptsRunOut) {
    // Every other request: each fault is followed by an attempt that gets through.
    for (auto fault : {ProxyFault::reset, ProxyFault::slowDown}) {
        proxy_.setSchedule(FaultProxy::every(2, fault));
        auto request = head();
        RequestWatch watch(*request);
        request->startAsynchronous();
        ASSERT_TRUE(watch.waitForEnd());
        EXPECT_EQ(watch.count(Hook::finished), 1)
            << (request->error() ? request->error()->description() : "");
        EXPECT_EQ(watch.count(Hook::failed), 0);
    }
    const auto passed = proxy_.counts();
    EXPECT_EQ(passed.resets, 1u);
    EXPECT_EQ(passed.slowDowns, 1u);
    EXPECT_EQ(server_.requestCount(), 2u);

    // SlowDown on every attempt: the service's own answer after the last one.
    proxy_.setSchedule(FaultProxy::every(1, ProxyFault::slowDown));
    auto request = head();
    RequestWatch watch(*request);
    request->startAsynchronous();
    ASSERT_TRUE(watch.waitForEnd());
    ASSERT_EQ(watch.count(Hook::failed), 1);
    ASSERT_TRUE(request->error());
    EXPECT_EQ(request->error()->kind, ErrorKind::service) << request->error()->description();
    EXPECT_EQ(request->error()->httpStatus, 503);
    EXPECT_EQ(proxy_.counts().slowDowns - passed.slowDowns,
              static_cast<std::uint64_t>(RetryPolicy::maxRetries() + 1));
    EXPECT_EQ(server_.requestCount(), 2u);
}

}  // namespace
}  // namespace quilo::test
