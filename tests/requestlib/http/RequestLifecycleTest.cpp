#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <numeric>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "quilo/requestlib/http/HTTPRequest.hpp"
#include "quilo/requestlib/http/HTTPRequestQueue.hpp"
#include "requestlib/http/RequestRun.hpp"
#include "support/FaultServer.hpp"
#include "support/RequestWatch.hpp"
#include "support/SharedState.hpp"

namespace quilo::test {
namespace {

using namespace std::chrono_literals;
using detail::RetryPolicy;
using Hook = RequestWatch;

class RequestLifecycle : public ::testing::Test {
  protected:
    void SetUp() override { RetryPolicy::setBaseDelay(5ms); }
    void TearDown() override { RetryPolicy::setBaseDelay(100ms); }

    std::shared_ptr<HTTPRequest> request(const std::string& target) {
        return std::make_shared<HTTPRequest>(server_.url(target));
    }
    // Starts a request per target, each twice: the second start must change nothing.
    void startAll(const std::vector<std::string>& targets) {
        for (const auto& target : targets) {
            requests_.push_back(request(target));
            watches_.emplace_back(*requests_.back());
            requests_.back()->startAsynchronous();
            requests_.back()->startAsynchronous();
        }
    }

    const SharedStateGuard restore_;
    FaultServer server_{[](const ServedRequest& served) {
        if (served.target == "/missing")
            return FaultAction::reply(404);
        if (served.target == "/stall")
            return FaultAction::stall(5s);
        return FaultAction::reply(200, std::string(100000, 'b'));
    }};
    std::vector<std::shared_ptr<HTTPRequest>> requests_;
    std::vector<RequestWatch> watches_;
};

using RequestQueue = RequestLifecycle;

TEST_F(RequestLifecycle, EndedRequestIsReleasedEvenWhenItsHooksHoldIt) {
    for (const std::string target : {"/ok", "/missing"}) {
        std::weak_ptr<HTTPRequest> weak;
        std::atomic<int> ended{0};
        {
            auto held = request(target);
            weak = held;
            held->setCompletionBlock([held, &ended] { ++ended; });
            held->setFailedBlock([held, &ended] { ++ended; });
            held->startAsynchronous();
        }
        ASSERT_TRUE(eventually([&] { return ended == 1; })) << target;
        EXPECT_TRUE(eventually([&] { return weak.expired(); }, 2s)) << target;
    }
}

TEST_F(RequestLifecycle, ThrowingHooksDoNotStopTheLibrary) {
    auto raise = [] { throw std::runtime_error("hook"); };
    for (const std::string target : {"/ok", "/missing"}) {
        auto thrower = request(target);
        thrower->setStartedBlock(raise);
        thrower->setHeadersReceivedBlock([](const auto&) { throw 42; });
        thrower->setBytesReceivedBlock([](auto, auto) { throw std::runtime_error("hook"); });
        thrower->setCompletionBlock(raise);
        thrower->setFailedBlock(raise);
        thrower->startAsynchronous();
        EXPECT_TRUE(eventually([&] { return thrower->state() >= HTTPRequest::State::finished; }))
            << target;
    }
    auto next = request("/ok");
    EXPECT_EQ(RequestWatch(*next).run(*next), "finished");
}

// Such a failure is still delivered on the library's thread, after the call has returned.
TEST_F(RequestLifecycle, RequestThatCannotBeSentFailsWithoutSending) {
    auto custom = request("/ok");
    custom->failBeforeSending(Error{ErrorKind::localFile, "Custom", "told to", 0, {}});
    custom->failBeforeSending(Error{ErrorKind::misuse, "Second", "ignored", 0, {}});
    auto badHeader = request("/ok");
    badHeader->addRequestHeader("X-Split", "a\r\nInjected: yes");
    for (const auto& [each, outcome] : {std::pair{custom, "failed local file error Custom"},
                                        std::pair{badHeader, "failed misuse InvalidHeader"}}) {
        RequestWatch watch(*each);
        EXPECT_EQ(watch.run(*each), outcome);
        EXPECT_EQ(watch.count(Hook::started), 0);
        EXPECT_FALSE(watch.threads().contains(std::this_thread::get_id())) << outcome;
    }
    // Only a request that a shared_ptr owns can run; any other fails at once, hooks unheard.
    HTTPRequest onStack(server_.url("/ok"));
    RequestWatch watch(onStack);
    onStack.startAsynchronous();
    EXPECT_EQ(onStack.error() ? onStack.error()->kind : ErrorKind::transport, ErrorKind::misuse);
    EXPECT_FALSE(watch.waitForEnd(200ms, 0ms));
    EXPECT_EQ(server_.requestCount(), 0u);
}

// Cancelled from several application threads at once, while others end on their own.
TEST_F(RequestLifecycle, ConcurrentCancelsEndEachRequestOnce) {
    for (int i = 0; i < 8; ++i)
        startAll({"/stall", "/missing", "/ok"});
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (std::size_t i = 0; i < requests_.size(); i += 3)
                requests_[i]->cancel();
        });
    for (auto& thread : threads)
        thread.join();
    for (std::size_t i = 0; i < requests_.size(); ++i) {
        const char* outcomes[] = {"failed cancelled Cancelled", "failed service error HTTP404",
                                  "finished"};
        EXPECT_EQ(watches_[i].ending(*requests_[i], 20s), outcomes[i % 3]) << i;
    }
    // A cancel racing the start is never lost, whichever comes first.
    std::vector<std::shared_ptr<HTTPRequest>> raced;
    std::vector<RequestWatch> racedWatches;
    for (int i = 0; i < 200; ++i) {
        raced.push_back(request("/stall"));
        racedWatches.emplace_back(*raced.back());
        std::thread canceller([each = raced.back()] { each->cancel(); });
        raced.back()->startAsynchronous();
        canceller.join();
    }
    for (std::size_t i = 0; i < raced.size(); ++i) {
        ASSERT_TRUE(racedWatches[i].waitForEnd(10s, 0ms)) << i;
    }
    std::this_thread::sleep_for(200ms);  // a second end would show by now
    for (std::size_t i = 0; i < raced.size(); ++i) {
        EXPECT_EQ(racedWatches[i].count(Hook::failed), 1) << i;
        EXPECT_EQ(racedWatches[i].count(Hook::finished), 0) << i;
        EXPECT_EQ(raced[i]->error() ? raced[i]->error()->code : "none", "Cancelled") << i;
    }
}

TEST_F(RequestQueue, RunsAtMostTheLimitAndAdmitsInStartOrder) {
    HTTPRequest::sharedQueue().setMaxConcurrentOperationCount(4);
    server_.setHandler([](const ServedRequest&) { return FaultAction::reply(200).delayed(20ms); });
    constexpr int kCount = 200;
    std::mutex mutex;
    std::vector<int> admitted;
    std::atomic<int> finished{0}, failed{0};
    for (int i = 0; i < kCount; ++i) {
        auto each = request(std::string("/").append(std::to_string(i)));
        each->setStartedBlock([&, i] {
            std::lock_guard lock(mutex);
            admitted.push_back(i);
        });
        each->setCompletionBlock([&] { ++finished; });
        each->setFailedBlock([&] { ++failed; });
        each->startAsynchronous();
    }
    ASSERT_TRUE(eventually([&] { return finished + failed == kCount; }, 60s));
    EXPECT_EQ(finished, kCount);
    EXPECT_EQ(server_.maxInProgress(), 4u);
    std::vector<int> inOrder(kCount);
    std::iota(inOrder.begin(), inOrder.end(), 0);
    std::lock_guard lock(mutex);
    EXPECT_EQ(admitted, inOrder);
}

TEST_F(RequestQueue, RaisingTheLimitAdmitsWaitingRequests) {
    auto& queue = HTTPRequest::sharedQueue();
    queue.setMaxConcurrentOperationCount(1);
    server_.setHandler(
        [](const ServedRequest&) { return FaultAction::reply(200).delayed(1500ms); });
    startAll({"/", "/", "/"});
    ASSERT_TRUE(eventually([&] { return server_.inProgress() == 1; }));
    EXPECT_EQ(queue.waitingCount(), 2u);
    queue.setMaxConcurrentOperationCount(4);
    for (auto& watch : watches_)
        ASSERT_TRUE(watch.waitForEnd(10s, 0ms));
    // All three were at the server together, while the first was still being answered.
    EXPECT_EQ(server_.maxInProgress(), 3u);
}

}  // namespace
}  // namespace quilo::test
