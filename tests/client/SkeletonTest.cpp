#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/OperationSkeleton.hpp"
#include "quilo/quilo.hpp"
#include "support/ObservedQuilo.hpp"
#include "support/Outcome.hpp"
#include "support/RecordingTransport.hpp"

namespace quilo {
namespace {

using test::Event;
using test::Outcome;

// What happened, in order, on whichever thread.
class Log {
  public:
    void add(std::string entry) {
        std::lock_guard lock(mutex_);
        entries_.push_back(std::move(entry));
    }
    std::vector<std::string> entries() const {
        std::lock_guard lock(mutex_);
        return entries_;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> entries_;
};

// Which hooks a request holds, as "started finished failed headers redirected sent received".
std::string installedHooks(const HTTPRequest& request) {
    std::string hooks;
    auto note = [&](bool set, const char* name) {
        if (set) {
            hooks += hooks.empty() ? name : std::string(" ") + name;
        }
    };
    note(bool(request.startedBlock()), "started");
    note(bool(request.completionBlock()), "finished");
    note(bool(request.failedBlock()), "failed");
    note(bool(request.headersReceivedBlock()), "headers");
    note(bool(request.requestRedirectedBlock()), "redirected");
    note(bool(request.bytesSentBlock()), "sent");
    note(bool(request.bytesReceivedBlock()), "received");
    return hooks;
}

class Skeleton : public ::testing::Test {
  protected:
    test::TransportGuard transport_;
    test::ObservedQuilo client_{"AK", "SK"};
};

TEST_F(Skeleton, BindsAfterConfigurationAndBeforeTheStart) {
    auto log = std::make_shared<Log>();
    const S3Request* configured = nullptr;
    client_.beforeConfiguring = [&](const std::shared_ptr<S3Request>& request) {
        configured = request.get();
        const bool ready = request->state() == HTTPRequest::State::ready;
        log->add(std::string("configure: ") + (ready ? "ready" : "started") + ", hooks [" +
                 installedHooks(*request) + "]");
    };
    Outcome<QuiloServiceRequest> outcome;
    auto callbacks = outcome.callbacks();
    callbacks.started = [log, record = callbacks.started](const auto& request) {
        log->add("started");
        record(request);
    };
    client_.listBuckets(callbacks);

    ASSERT_TRUE(transport_->waitForPerformed(1));
    log->add("performed");
    auto request = transport_->performedAs<QuiloServiceRequest>(0);
    ASSERT_TRUE(request);
    EXPECT_EQ(request.get(), configured) << "the configured request is the one started";
    EXPECT_EQ(installedHooks(*request), "started finished failed headers redirected");
    EXPECT_EQ(log->entries(),
              (std::vector<std::string>{"configure: ready, hooks []", "started", "performed"}));

    transport_->finish(request, 200, {}, "<ListAllMyBucketsResult/>");
    ASSERT_TRUE(outcome.waitForEnd()) << outcome.summary();
    EXPECT_EQ(outcome.count(Event::started), 1);
    EXPECT_EQ(outcome.count(Event::finished), 1) << outcome.summary();
    EXPECT_EQ(outcome.count(Event::failed), 0);
    EXPECT_TRUE(outcome.oneRequest());
    EXPECT_EQ(outcome.request(), request);
    for (const auto& call : outcome.calls()) {
        EXPECT_NE(call.thread, std::this_thread::get_id()) << "callables run on the library's";
    }
}

TEST_F(Skeleton, InstallsHooksOnlyForPresentCallables) {
    Outcome<QuiloBucketRequest> onlyFailed;
    client_.deleteBucket("bucket", onlyFailed.callbacks({Event::failed}));
    client_.deleteBucket("bucket");
    Outcome<QuiloObjectRquest> noProgress;
    client_.uploadObject({{"filePath", "/dev/null"}, {"bucket", "b"}, {"key", "k"}},
                         noProgress.transferCallbacks({Event::headerReceived}));

    ASSERT_TRUE(transport_->waitForPerformed(3));
    EXPECT_EQ(installedHooks(*transport_->performed()[0]), "failed");
    EXPECT_EQ(installedHooks(*transport_->performed()[1]), "") << "started all the same";
    EXPECT_EQ(installedHooks(*transport_->performed()[2]), "headers");
}

TEST_F(Skeleton, HooksCallTheirCallableEveryTimeWithTheTypedRequest) {
    Outcome<QuiloObjectRquest> outcome;
    client_.downloadObject({{"bucket", "b"}, {"key", "k"}}, outcome.transferCallbacks());
    ASSERT_TRUE(transport_->waitForPerformed(1));
    auto request = transport_->performedAs<QuiloObjectRquest>(0);
    ASSERT_TRUE(request);
    ASSERT_EQ(installedHooks(*request), "started finished failed headers redirected received");

    // The library may call a hook more than once; nothing is deduplicated.
    auto redirected = request->requestRedirectedBlock();
    redirected();
    redirected();
    // The header map, present or absent, is not passed on.
    auto headers = request->headersReceivedBlock();
    headers(HeaderMap{{"ETag", "\"abc\""}});
    headers(std::nullopt);
    // Progress numbers go through as they come, even when they make no sense.
    auto progress = request->bytesReceivedBlock();
    progress(10, 0);
    progress(7, 3);

    EXPECT_EQ(outcome.count(Event::redirected), 2);
    EXPECT_EQ(outcome.count(Event::headerReceived), 2);
    using Reports = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
    EXPECT_EQ(outcome.progress(), (Reports{{10, 0}, {7, 3}}));
    EXPECT_EQ(outcome.request(), request);
    EXPECT_TRUE(outcome.oneRequest());
}

TEST_F(Skeleton, UploadReportsBytesSent) {
    Outcome<QuiloObjectRquest> outcome;
    client_.uploadObject({{"filePath", "/dev/null"}, {"bucket", "b"}, {"key", "k"}},
                         outcome.transferCallbacks());
    ASSERT_TRUE(transport_->waitForPerformed(1));
    auto request = transport_->performedAs<QuiloObjectRquest>(0);
    ASSERT_TRUE(request);
    EXPECT_EQ(installedHooks(*request), "started finished failed headers redirected sent");
    request->bytesSentBlock()(5, 9);
    using Reports = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
    EXPECT_EQ(outcome.progress(), (Reports{{5, 9}}));
}

TEST_F(Skeleton, TheRequestIsReleasedOnceItHasEnded) {
    auto token = std::make_shared<int>(0);
    client_.createBucket("bucket", {.finished = [token](const auto&) { ++*token; }});
    ASSERT_TRUE(transport_->waitForPerformed(1));
    std::weak_ptr<HTTPRequest> watched = transport_->performed()[0];
    transport_->forget();
    EXPECT_FALSE(watched.expired()) << "its hooks keep the running request alive";

    transport_->finish(watched.lock(), 200);
    transport_->drain();
    EXPECT_EQ(*token, 1);
    // The library's own tasks may hold the request a moment longer; nothing else may.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while ((!watched.expired() || token.use_count() > 1) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(watched.expired()) << "the request outlived its end";
    EXPECT_EQ(token.use_count(), 1) << "the callable outlived the request's end";
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

TEST_F(Skeleton, AFactoryWithoutARequestStopsEverything) {
    bool optionsSet = false;
    Outcome<QuiloServiceRequest> outcome;
    detail::runOperation<QuiloServiceRequest>(
        client_, outcome.callbacks(),
        detail::Steps{.name = "nothing",
                      .make = [] { return std::shared_ptr<QuiloServiceRequest>(); },
                      .beforeConfiguration = [&](auto&) { optionsSet = true; },
                      .afterHooks = [&](auto&) { optionsSet = true; }});
    EXPECT_FALSE(outcome.waitForEnd(std::chrono::milliseconds(200)));
    transport_->drain();
    EXPECT_EQ(client_.configureCount(), 0);
    EXPECT_FALSE(optionsSet);
    EXPECT_TRUE(outcome.calls().empty()) << outcome.summary();
    EXPECT_EQ(transport_->performedCount(), 0u);
}

TEST_F(Skeleton, AThrowingConfigurationEndsInFailedWithoutSending) {
    client_.beforeConfiguring = [](const auto&) { throw std::runtime_error("no keys today"); };
    Outcome<QuiloBucketRequest> outcome;
    client_.getBucketMeta("bucket", outcome.callbacks());

    ASSERT_TRUE(outcome.waitForEnd()) << outcome.summary();
    EXPECT_EQ(outcome.count(Event::failed), 1) << outcome.summary();
    EXPECT_EQ(outcome.count(Event::started), 0);
    EXPECT_EQ(transport_->performedCount(), 0u);
    ASSERT_TRUE(outcome.request()->error());
    EXPECT_NE(outcome.request()->error()->message.find("no keys today"), std::string::npos);
}

}  // namespace
}  // namespace quilo
