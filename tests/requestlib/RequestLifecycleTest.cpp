#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <numeric>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "quilo/requestlib/HTTPRequest.hpp"
#include "quilo/requestlib/HTTPRequestQueue.hpp"
#include "requestlib/RequestRun.hpp"
#include "support/FaultServer.hpp"
#include "support/RequestWatch.hpp"

namespace quilo::test {
namespace {

using namespace std::chrono_literals;
using detail::RetryPolicy;
using Hook = RequestWatch::Hook;

class RequestLifecycle : public ::testing::Test {
  protected:
    void SetUp() override { RetryPolicy::setBaseDelay(5ms); }
    void TearDown() override {
        RetryPolicy::setBaseDelay(100ms);
        HTTPRequest::sharedQueue().setMaxConcurrentOperationCount(limit_);
    }

    std::shared_ptr<HTTPRequest> request(const std::string& target) {
        return std::make_shared<HTTPRequest>(server_.url(target));
    }

    const int limit_ = HTTPRequest::sharedQueue().maxConcurrentOperationCount();
    FaultServer server_;
};

using RequestQueue = RequestLifecycle;

// Answers by target: /ok 200, /missing 404, /flaky 503 on its first visit, /drop hangs up.
FaultServer::Handler byTarget() {
    auto flakyVisits = std::make_shared<std::atomic<int>>(0);
    return [flakyVisits](const ServedRequest& request) {
        if (request.target == "/missing")
            return FaultAction::reply(404);
        if (request.target == "/flaky" && (*flakyVisits)++ == 0)
            return FaultAction::reply(503);
        if (request.target == "/drop")
            return FaultAction::hangUp();
        return FaultAction::reply(200, std::string(100000, 'b'));
    };
}

TEST_F(RequestLifecycle, EveryStartedRequestStartsOnceAndEndsOnce) {
    server_.setHandler(byTarget());
    const std::vector<std::pair<std::string, bool>> cases = {
        {"/ok", true}, {"/missing", false}, {"/flaky", true}, {"/drop", false}};
    std::vector<std::shared_ptr<HTTPRequest>> requests;
    std::vector<RequestWatch> watches;
    for (const auto& each : cases) {
        requests.push_back(request(each.first));
        watches.emplace_back(*requests.back());
    }
    for (auto& each : requests)
        each->startAsynchronous();
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].first);
        ASSERT_TRUE(watches[i].waitForEnd());
        EXPECT_EQ(watches[i].count(Hook::started), 1);  // retries included
        EXPECT_EQ(watches[i].count(Hook::finished), cases[i].second ? 1 : 0);
        EXPECT_EQ(watches[i].count(Hook::failed), cases[i].second ? 0 : 1);
        EXPECT_EQ(requests[i]->state(),
                  cases[i].second ? HTTPRequest::State::finished : HTTPRequest::State::failed);
    }
    // The retried ones really went out again. libcurl itself may send a request once more when
    // a kept-alive connection turns out dead, so a hang-up can be seen more often.
    std::map<std::string, int> visits;
    for (const auto& served : server_.requests())
        ++visits[served.target];
    EXPECT_EQ(visits["/ok"], 1);
    EXPECT_EQ(visits["/missing"], 1);
    EXPECT_EQ(visits["/flaky"], 2);
    EXPECT_GE(visits["/drop"], 4);
}

TEST_F(RequestLifecycle, EndedRequestIsReleasedEvenWhenItsHooksHoldIt) {
    server_.setHandler(byTarget());
    for (const std::string target : {"/ok", "/missing"}) {
        SCOPED_TRACE(target);
        std::weak_ptr<HTTPRequest> weak;
        std::atomic<int> ended{0};
        {
            auto held = request(target);
            weak = held;
            held->setCompletionBlock([held, &ended] { ++ended; });
            held->setFailedBlock([held, &ended] { ++ended; });
            held->startAsynchronous();
        }
        ASSERT_TRUE(eventually([&] { return ended == 1; }));
        EXPECT_TRUE(eventually([&] { return weak.expired(); }, 2s));
    }
}

TEST_F(RequestLifecycle, HooksRunOnOneThreadThatIsNotTheCallers) {
    FaultServer other;
    server_.setHandler([&](const ServedRequest& request) {
        if (request.target == "/moved")
            return FaultAction::reply(307).header("Location", other.url("/here"));
        return byTarget()(request);
    });
    other.setHandler([](const ServedRequest&) { return FaultAction::reply(200, "here"); });
    std::vector<std::shared_ptr<HTTPRequest>> requests;
    std::vector<RequestWatch> watches;
    for (const std::string target : {"/ok", "/missing", "/moved", "/ok"}) {
        requests.push_back(request(target));
        watches.emplace_back(*requests.back());
        requests.back()->setShowAccurateProgress(true);
        requests.back()->startAsynchronous();
    }
    std::set<std::thread::id> threads;
    for (auto& watch : watches) {
        ASSERT_TRUE(watch.waitForEnd());
        threads.merge(watch.threads());
    }
    EXPECT_EQ(watches[2].count(Hook::redirected), 1);
    EXPECT_GT(watches[0].count(Hook::received), 0);
    EXPECT_EQ(threads.size(), 1u);
    EXPECT_FALSE(threads.contains(std::this_thread::get_id()));
}

TEST_F(RequestLifecycle, ThrowingHooksDoNotStopTheLibrary) {
    server_.setHandler(byTarget());
    auto raise = [] { throw std::runtime_error("hook"); };
    auto raiseProgress = [](std::uint64_t, std::uint64_t) { throw std::runtime_error("hook"); };
    for (const std::string target : {"/ok", "/missing", "/flaky"}) {
        SCOPED_TRACE(target);
        auto thrower = request(target);
        thrower->setStartedBlock(raise);
        thrower->setHeadersReceivedBlock([](const auto&) { throw 42; });
        thrower->setBytesReceivedBlock(raiseProgress);
        thrower->setCompletionBlock(raise);
        thrower->setFailedBlock(raise);
        thrower->startAsynchronous();
        EXPECT_TRUE(eventually([&] {
            auto state = thrower->state();
            return state == HTTPRequest::State::finished || state == HTTPRequest::State::failed;
        }));
    }
    // The network thread is still there for the next request.
    auto next = request("/ok");
    RequestWatch watch(*next);
    next->startAsynchronous();
    ASSERT_TRUE(watch.waitForEnd());
    EXPECT_EQ(watch.count(Hook::finished), 1);
}

TEST_F(RequestLifecycle, RequestThatCannotBeSentFailsWithoutSending) {
    auto custom = request("/ok");
    custom->failBeforeSending(Error{ErrorKind::localFile, "Custom", "told to", 0, {}});
    custom->failBeforeSending(Error{ErrorKind::misuse, "Second", "ignored", 0, {}});
    auto badHeader = request("/ok");
    badHeader->addRequestHeader("X-Split", "a\r\nInjected: yes");
    auto badTimeOut = request("/ok");
    badTimeOut->setTimeOutSeconds(-1);

    const std::vector<std::pair<std::shared_ptr<HTTPRequest>, ErrorKind>> cases = {
        {custom, ErrorKind::localFile},
        {badHeader, ErrorKind::misuse},
        {badTimeOut, ErrorKind::misuse}};
    for (const auto& [each, kind] : cases) {
        RequestWatch watch(*each);
        each->startAsynchronous();
        ASSERT_TRUE(watch.waitForEnd());
        EXPECT_EQ(watch.count(Hook::failed), 1);
        EXPECT_EQ(watch.count(Hook::finished), 0);
        EXPECT_EQ(watch.count(Hook::started), 0);
        ASSERT_TRUE(each->error());
        EXPECT_EQ(each->error()->kind, kind) << each->error()->description();
    }
    EXPECT_EQ(custom->error()->code, "Custom");
    EXPECT_EQ(server_.requestCount(), 0u);
}

TEST_F(RequestLifecycle, StartingTwiceSendsOnce) {
    auto twice = request("/ok");
    RequestWatch watch(*twice);
    twice->startAsynchronous();
    twice->startAsynchronous();
    ASSERT_TRUE(watch.waitForEnd());
    twice->startAsynchronous();
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(watch.count(Hook::started), 1);
    EXPECT_EQ(watch.count(Hook::finished), 1);
    EXPECT_EQ(server_.requestCount(), 1u);
}

TEST_F(RequestLifecycle, RequestNotOwnedBySharedPtrFailsAtOnce) {
    HTTPRequest onStack(server_.url("/ok"));
    RequestWatch watch(onStack);
    onStack.startAsynchronous();
    EXPECT_EQ(onStack.state(), HTTPRequest::State::failed);
    ASSERT_TRUE(onStack.error());
    EXPECT_EQ(onStack.error()->kind, ErrorKind::misuse);
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(watch.count(Hook::failed) + watch.count(Hook::started), 0);
    EXPECT_EQ(server_.requestCount(), 0u);
}

TEST_F(RequestQueue, RunsAtMostTheLimitAndAdmitsInStartOrder) {
    HTTPRequest::sharedQueue().setMaxConcurrentOperationCount(4);
    server_.setHandler([](const ServedRequest&) { return FaultAction::reply(200).delayed(20ms); });
    constexpr int kCount = 200;
    std::mutex mutex;
    std::vector<int> admitted;
    std::atomic<int> finished{0}, failed{0};
    for (int i = 0; i < kCount; ++i) {
        auto each = request("/" + std::to_string(i));
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
    EXPECT_EQ(server_.requestCount(), std::size_t{kCount});
    EXPECT_EQ(server_.maxInProgress(), 4u);
    std::vector<int> inOrder(kCount);
    std::iota(inOrder.begin(), inOrder.end(), 0);
    std::lock_guard lock(mutex);
    EXPECT_EQ(admitted, inOrder);
}

TEST_F(RequestQueue, LimitBelowOneMeansTheDefault) {
    auto& queue = HTTPRequest::sharedQueue();
    for (int limit : {0, -5}) {
        SCOPED_TRACE(limit);
        queue.setMaxConcurrentOperationCount(2);
        queue.setMaxConcurrentOperationCount(limit);
        EXPECT_EQ(queue.maxConcurrentOperationCount(),
                  HTTPRequestQueue::defaultMaxConcurrentOperationCount);
        FaultServer fresh(
            [](const ServedRequest&) { return FaultAction::reply(200).delayed(100ms); });
        std::vector<RequestWatch> watches;
        std::vector<std::shared_ptr<HTTPRequest>> requests;
        for (int i = 0; i < HTTPRequestQueue::defaultMaxConcurrentOperationCount + 2; ++i) {
            requests.push_back(std::make_shared<HTTPRequest>(fresh.url("/")));
            watches.emplace_back(*requests.back());
            requests.back()->startAsynchronous();
        }
        for (auto& watch : watches) {
            ASSERT_TRUE(watch.waitForEnd(10s, 0ms));
            EXPECT_EQ(watch.count(Hook::finished), 1);
        }
        EXPECT_EQ(fresh.maxInProgress(),
                  std::size_t{HTTPRequestQueue::defaultMaxConcurrentOperationCount});
    }
}

TEST_F(RequestQueue, RaisingTheLimitAdmitsWaitingRequests) {
    auto& queue = HTTPRequest::sharedQueue();
    queue.setMaxConcurrentOperationCount(1);
    server_.setHandler(
        [](const ServedRequest&) { return FaultAction::reply(200).delayed(1500ms); });
    std::vector<std::shared_ptr<HTTPRequest>> requests;
    std::vector<RequestWatch> watches;
    for (int i = 0; i < 3; ++i) {
        requests.push_back(request("/"));
        watches.emplace_back(*requests.back());
        requests.back()->startAsynchronous();
    }
    ASSERT_TRUE(eventually([&] { return server_.inProgress() == 1; }));
    EXPECT_EQ(queue.waitingCount(), 2u);
    queue.setMaxConcurrentOperationCount(4);
    for (auto& watch : watches)
        ASSERT_TRUE(watch.waitForEnd(10s, 0ms));
    // All three were at the server together, while the first was still being answered.
    EXPECT_EQ(server_.maxInProgress(), 3u);
}

}  // namespace
}  // namespace quilo::test
