#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "quilo/quilo.hpp"
#include "support/ObservedQuilo.hpp"
#include "support/Outcome.hpp"
#include "support/RecordingTransport.hpp"
#include "support/RequestWatch.hpp"

namespace quilo {
namespace {

using test::Event;
using test::Outcome;

class Skeleton : public ::testing::Test {
  protected:
    test::TransportGuard transport_;
    test::ObservedQuilo client_{"AK", "SK", false, 5};  // room for five at once
};

// Configured before it starts, then started; every call gets the one request, typed, on the
// library's thread, as often as the request reports, with what it reports.
TEST_F(Skeleton, ConfiguresBeforeStartingAndPassesEveryReportOn) {
    std::shared_ptr<S3Request> configured;
    bool startedWhenConfigured = true;
    client_.beforeConfiguring = [&](const std::shared_ptr<S3Request>& request) {
        configured = request;
        startedWhenConfigured = request->state() != HTTPRequest::State::ready;
    };
    Outcome<QuiloObjectRquest> outcome;
    auto callbacks = outcome.transferCallbacks();
    std::size_t performedWhenStarted = 1;
    callbacks.started = [&, record = callbacks.started](const auto& request) {
        performedWhenStarted = transport_->performed().size();
        record(request);
    };
    client_.uploadObject({{"filePath", "/dev/null"}, {"bucket", "b"}, {"key", "k"}}, callbacks);
    ASSERT_TRUE(transport_->waitForPerformed(1));
    auto request = std::dynamic_pointer_cast<QuiloObjectRquest>(transport_->performed()[0]);
    ASSERT_TRUE(request);
    EXPECT_EQ(configured, request);
    EXPECT_FALSE(startedWhenConfigured);
    EXPECT_EQ(performedWhenStarted, 0u) << "started is called before the request goes out";

    for (int twice = 0; twice < 2; ++twice)
        request->requestRedirectedBlock()();
    request->headersReceivedBlock()(HeaderMap{{"ETag", "\"abc\""}});
    request->headersReceivedBlock()(std::nullopt);
    request->bytesSentBlock()(10, 0);
    request->bytesSentBlock()(7, 3);  // passed on even when it makes no sense
    transport_->finish(request, 200, {}, {});
    ASSERT_TRUE(outcome.waitForEnd()) << outcome.summary();
    EXPECT_EQ(outcome.count(Event::started), 1);
    EXPECT_EQ(outcome.count(Event::redirected), 2);
    EXPECT_EQ(outcome.count(Event::headerReceived), 2);
    EXPECT_EQ(outcome.progress(),
              (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{10, 0}, {7, 3}}));
    EXPECT_EQ(outcome.count(Event::finished), 1);
    EXPECT_EQ(outcome.count(Event::failed), 0);
    for (const auto& call : outcome.calls()) {
        EXPECT_EQ(call.request, request.get());
        if (call.event == Event::started || call.event == Event::finished) {
            EXPECT_NE(call.thread, std::this_thread::get_id()) << "callables run on the library's";
        }
    }
}

TEST_F(Skeleton, TheRequestIsReleasedOnceItHasEnded) {
    auto token = std::make_shared<int>(0);
    client_.createBucket("bucket", {.finished = [token](const auto&) { ++*token; }});
    ASSERT_TRUE(transport_->waitForPerformed(1));
    std::weak_ptr<HTTPRequest> watched = transport_->performed()[0];
    transport_->forget();
    EXPECT_FALSE(watched.expired()) << "its hooks keep the running request alive";

    transport_->finish(watched.lock(), 200, {}, {});
    transport_->drain();
    EXPECT_EQ(*token, 1);
    // The library's own tasks may hold the request a moment longer; nothing else may.
    EXPECT_TRUE(test::eventually([&] { return watched.expired() && token.use_count() == 1; }))
        << "the request or its callable outlived its end";
}

TEST_F(Skeleton, ReleasingTheClientDoesNotStopItsRequests) {
    auto client = std::make_shared<Quilo>("AK", "SK");
    std::weak_ptr<Quilo> watched = client;
    Outcome<QuiloBucketRequest> outcome;
    client->getBucketAcl("bucket", outcome.callbacks());
    client.reset();
    EXPECT_TRUE(watched.expired()) << "a running request keeps its client alive";

    ASSERT_TRUE(transport_->waitForPerformed(1));
    transport_->fail(transport_->performed()[0], Error{ErrorKind::transport, "Reset", "", 0, {}});
    ASSERT_TRUE(outcome.waitForEnd()) << outcome.summary();
    EXPECT_EQ(outcome.count(Event::started), 1);
    EXPECT_EQ(outcome.count(Event::failed), 1);
    EXPECT_EQ(outcome.request()->error()->code, "Reset");
}

TEST_F(Skeleton, AThrowingConfigurationEndsInFailedWithoutSending) {
    client_.beforeConfiguring = [](const auto&) { throw std::runtime_error("no keys today"); };
    Outcome<QuiloBucketRequest> outcome;
    client_.getBucketMeta("bucket", outcome.callbacks());

    ASSERT_TRUE(outcome.waitForEnd()) << outcome.summary();
    EXPECT_EQ(outcome.count(Event::failed), 1) << outcome.summary();
    EXPECT_EQ(outcome.calls().size(), 1u) << outcome.summary();
    EXPECT_TRUE(transport_->performed().empty());
    ASSERT_TRUE(outcome.request()->error());
    EXPECT_NE(outcome.request()->error()->message.find("no keys today"), std::string::npos);
}

}  // namespace
}  // namespace quilo
