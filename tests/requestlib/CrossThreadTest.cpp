#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "quilo/requestlib/HTTPRequest.hpp"
#include "support/FaultServer.hpp"
#include "support/RequestWatch.hpp"

namespace quilo::test {
namespace {

using namespace std::chrono_literals;

bool hasEnded(const HTTPRequest& request) {
    const auto state = request.state();
    return state == HTTPRequest::State::finished || state == HTTPRequest::State::failed;
}

// Requests watched and cancelled from threads of the application rather than from hooks: what
// state() says must agree with what the results say, whichever thread reads them.
TEST(CrossThread, ThreadsThatPollAndCancelSeeEachRequestEndOnceWithItsWholeOutcome) {
    constexpr int kRequests = 48;
    constexpr int kThreads = 4;
    FaultServer server([](const ServedRequest& request) {
        if (request.target.starts_with("/stall"))
            return FaultAction::stall(5s);
        if (request.target.starts_with("/missing"))
            return FaultAction::reply(404, "gone");
        return FaultAction::reply(200, "here");
    });
    const char* paths[] = {"/stall", "/missing", "/present"};

    std::vector<std::shared_ptr<HTTPRequest>> requests;
    std::vector<std::unique_ptr<std::atomic<int>>> endings;
    for (int i = 0; i < kRequests; ++i) {
        auto request = std::make_shared<HTTPRequest>(server.url(paths[i % 3]));
        endings.push_back(std::make_unique<std::atomic<int>>(0));
        request->setCompletionBlock([count = endings.back().get()] { ++*count; });
        request->setFailedBlock([count = endings.back().get()] { ++*count; });
        requests.push_back(request);
    }
    for (auto& request : requests)
        request->startAsynchronous();

    // Each thread cancels every stalled request (so each is cancelled several times at once),
    // then waits for its share of the requests through state() alone and reads their results.
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRequests; i += 3)
                requests[static_cast<std::size_t>(i)]->cancel();
            for (int i = t; i < kRequests; i += kThreads) {
                const HTTPRequest& request = *requests[static_cast<std::size_t>(i)];
                if (!eventually([&] { return hasEnded(request); }, 20s)) {
                    ++wrong;
                    continue;
                }
                const bool failed = request.state() == HTTPRequest::State::failed;
                const auto& error = request.error();
                bool right;
                switch (i % 3) {
                    case 0:
                        right = failed && error && error->kind == ErrorKind::cancelled;
                        break;
                    case 1:
                        right = failed && error && error->httpStatus == 404 &&
                                request.responseStatusCode() == 404;
                        break;
                    default:
                        right = !failed && !error && request.responseData() == "here" &&
                                request.responseHeaders().count("content-length") == 1;
                }
                wrong += right ? 0 : 1;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(wrong, 0);
    std::this_thread::sleep_for(100ms);  // long enough for a wrong second ending to show
    for (int i = 0; i < kRequests; ++i)
        EXPECT_EQ(*endings[static_cast<std::size_t>(i)], 1) << paths[i % 3] << " #" << i;
}

}  // namespace
}  // namespace quilo::test
