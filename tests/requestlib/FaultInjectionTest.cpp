#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "quilo/requestlib/HTTPRequest.hpp"
#include "quilo/requestlib/HTTPRequestQueue.hpp"
#include "quilo/requestlib/S3BucketRequest.hpp"
#include "quilo/requestlib/S3ObjectRequest.hpp"
#include "requestlib/RequestRun.hpp"
#include "support/FaultServer.hpp"
#include "support/RequestWatch.hpp"

namespace quilo::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using detail::RetryPolicy;
using Hook = RequestWatch::Hook;
using Files = std::vector<std::string>;

// Plays `script` in order, repeating its last action.
FaultServer::Handler scripted(std::vector<FaultAction> script) {
    return [script = std::move(script)](const ServedRequest& request) {
        return script[std::min<std::size_t>(request.sequence, script.size() - 1)];
    };
}

template <class R>
std::shared_ptr<R> pointedAt(std::shared_ptr<R> request, const std::string& host) {
    request->setHost(host);
    request->setAccessKey("AKIDEXAMPLE");
    request->setSecretAccessKey("wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY");
    return request;
}

class FaultInjection : public ::testing::Test {
  protected:
    void SetUp() override {
        RetryPolicy::setBaseDelay(5ms);
        static std::atomic<int> serial{0};
        fs::create_directories(dir_ /= std::to_string(::getpid()) + "-" + std::to_string(++serial));
        std::ofstream(dir_ / "object") << "original";
    }
    void TearDown() override {
        RetryPolicy::setBaseDelay(100ms);
        HTTPRequest::sharedQueue().setMaxConcurrentOperationCount(limit_);
        fs::remove_all(dir_);
    }

    Files files() const {
        Files names;
        for (const auto& entry : fs::directory_iterator(dir_))
            names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string destination() const {
        std::ifstream in(dir_ / "object", std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    const int limit_ = HTTPRequest::sharedQueue().maxConcurrentOperationCount();
    fs::path dir_ = fs::temp_directory_path() / "quilo-fault";
};

TEST_F(FaultInjection, RetriesTransientFailuresOnly) {
    const auto ok = FaultAction::reply(200, "ok"), unavailable = FaultAction::reply(503);
    const struct {
        std::vector<FaultAction> script;
        std::string outcome;
        std::size_t attempts;
    } cases[] = {
        {{unavailable, unavailable, ok}, "finished", 3},
        {{FaultAction::hangUp()}, "failed transport error EmptyResponse", 4},
        {{FaultAction::reply(400, "<Error><Code>Nope</Code></Error>")},
         "failed service error HTTP400",
         1},
        // The same status with a transient code is retried.
        {{FaultAction::reply(400, "<Error><Code>RequestTimeout</Code></Error>"), ok},
         "finished",
         2},
        {{FaultAction{.kind = FaultAction::Kind::reset}, ok}, "finished", 2},
        // Once an answer has begun, sending again could repeat what it did.
        {{FaultAction{.cutHead = true}}, "failed transport error TruncatedResponse", 1},
    };
    for (const auto& c : cases) {
        FaultServer server(scripted(c.script));
        auto request = std::make_shared<HTTPRequest>(server.url("/thing"));
        EXPECT_EQ(RequestWatch(*request).run(*request), c.outcome) << c.attempts;
        EXPECT_EQ(server.requestCount(), c.attempts) << c.outcome;
        EXPECT_EQ(request->responseData(), c.script.back().body);  // the last answer's alone
    }
}

TEST_F(FaultInjection, FollowsRedirectsToAnotherServerButNotInALoop) {
    FaultServer there(scripted({FaultAction::reply(200, "from there")}));
    FaultServer here(scripted({FaultAction::reply(307).header("Location", there.url("/b?x=1"))}));
    auto request = std::make_shared<HTTPRequest>(here.url("/a"));
    RequestWatch watch(*request);
    EXPECT_EQ(watch.run(*request), "finished");
    EXPECT_EQ(watch.count(Hook::redirected), 1);
    EXPECT_EQ(request->responseData(), "from there");
    ASSERT_EQ(there.requests().size(), 1u);
    EXPECT_EQ(there.requests()[0].target, "/b?x=1");

    there.setHandler(scripted({FaultAction::reply(307).header("Location", here.url("/loop"))}));
    here.setHandler(scripted({FaultAction::reply(307).header("Location", there.url("/loop"))}));
    auto looping = std::make_shared<HTTPRequest>(here.url("/loop"));
    RequestWatch loopWatch(*looping);
    const std::string outcome = loopWatch.run(*looping);
    EXPECT_TRUE(outcome.starts_with("failed ") && outcome.ends_with(" TooManyRedirects"))
        << outcome;
    EXPECT_EQ(loopWatch.count(Hook::redirected), 5);
    EXPECT_EQ(here.requestCount() + there.requestCount(), 2u + 6u);  // the first and 5 redirects
}

TEST_F(FaultInjection, IdleTimeOutFiresOnSilenceOnly) {
    FaultServer server([](const ServedRequest& request) {
        if (request.target == "/silent")
            return FaultAction::stall(10s);
        return FaultAction::reply(200, "fifteen bytes!!").paced(1, 200ms);  // ~3 s in all
    });
    auto silent = std::make_shared<HTTPRequest>(server.url("/silent"));
    auto slow = std::make_shared<HTTPRequest>(server.url("/slow"));
    RequestWatch slowWatch(*slow);
    silent->setTimeOutSeconds(1);
    slow->setTimeOutSeconds(1);
    slow->startAsynchronous();
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(RequestWatch(*silent).run(*silent, 10s), "failed time-out Timeout");
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
    EXPECT_EQ(slowWatch.ending(*slow, 10s), "finished");
    EXPECT_EQ(slow->responseData(), "fifteen bytes!!");
    EXPECT_GT(std::chrono::steady_clock::now() - begin, 2s);
}

TEST_F(FaultInjection, UnreadableOrOversizedListingsAreBadResponses) {
    const std::vector<FaultAction> answers = {
        FaultAction::reply(200, "<ListBucketResult><Name>bucket</Name><Contents><Key>a</Key>"),
        FaultAction::reply(200,
                           "<ListBucketResult><Contents><Key>a</Key><Size>x</Size>"
                           "</Contents></ListBucketResult>"),
        FaultAction::reply(200, "<Error><Code>InternalError</Code></Error>"),
        FaultAction::generated(96 << 20),
    };
    for (const auto& answer : answers) {
        FaultServer server(scripted({answer}));
        auto listing = pointedAt(S3BucketRequest::requestWithBucket("bucket"), server.host());
        const std::string outcome = RequestWatch(*listing).run(*listing);
        EXPECT_TRUE(outcome.starts_with("failed bad response ")) << outcome;
        EXPECT_TRUE(listing->objects().empty());
        // The library hung up early rather than take in what it would refuse anyway.
        ASSERT_TRUE(eventually([&] { return server.inProgress() == 0; }));
        EXPECT_LT(server.bodyBytesSent(), 64u << 20);
    }
}

// A copy can fail after the service has sent its 200: the body then is an <Error>.
TEST_F(FaultInjection, CopyAnsweredWithAnErrorUnderA200Fails) {
    FaultServer server(scripted({FaultAction::reply(200,
                                                    "<Error><Code>InternalError</Code>"
                                                    "<Message>Try again.</Message><RequestId>"
                                                    "4442587FB7D0A2F9</RequestId></Error>")}));
    auto copy = pointedAt(S3ObjectRequest::COPYRequestFromBucket(
                              "src-bucket", "dir/ключ ?#+%2F../x&=~", "des-bucket", "des/key"),
                          server.host());
    EXPECT_EQ(RequestWatch(*copy).run(*copy), "failed service error InternalError");
    EXPECT_EQ(copy->error()->message + " " + copy->error()->requestId,
              "Try again. 4442587FB7D0A2F9");
    const auto served = server.requests().at(0);
    EXPECT_EQ(served.method + " " + served.target, "PUT /des-bucket/des/key");
    // Slashes stay, as in a path; everything else outside A-Z a-z 0-9 - . _ ~ is escaped.
    EXPECT_EQ(served.headers.at("x-amz-copy-source"),
              "/src-bucket/dir/%D0%BA%D0%BB%D1%8E%D1%87%20%3F%23%2B%252F../x%26%3D~");
}

// The object reaches its destination whole and checked, or the destination stays as it was.
TEST_F(FaultInjection, DownloadsReplaceTheDestinationOnlyWhenComplete) {
    const std::string md5OfHello = "\"5d41402abc4b2a76b9719d911017c592\"";
    const std::pair<FaultAction, std::string> cases[] = {
        {FaultAction::truncated(std::string(5000, 'n'), 100000),
         "failed transport error TruncatedResponse"},
        {FaultAction::reply(200, "hello").header("ETag", "\"00000000000000000000000000000000\""),
         "failed integrity error ChecksumMismatch"},
        {FaultAction::reply(200, "hello").header("ETag", md5OfHello), "finished"},
    };
    for (const auto& [answer, outcome] : cases) {
        FaultServer server(scripted({answer}));
        auto get = pointedAt(S3ObjectRequest::requestWithBucket("bucket", "key"), server.host());
        get->setDownloadDestinationPath((dir_ / "object").string());
        EXPECT_EQ(RequestWatch(*get).run(*get), outcome);
        EXPECT_EQ(destination(), outcome == "finished" ? "hello" : "original") << outcome;
        EXPECT_EQ(files(), Files{"object"}) << outcome;  // no temporary file left
    }
}

TEST_F(FaultInjection, CancelEndsRunningAndWaitingRequestsLeavingNoTemporaryFile) {
    HTTPRequest::sharedQueue().setMaxConcurrentOperationCount(1);
    FaultServer server(
        scripted({FaultAction::reply(200, std::string(100000, 'p')).paced(1000, 20s)}));
    auto running = std::make_shared<HTTPRequest>(server.url("/running"));
    running->setDownloadDestinationPath((dir_ / "object").string());
    running->setShowAccurateProgress(true);
    auto waiting = std::make_shared<HTTPRequest>(server.url("/waiting"));
    RequestWatch runningWatch(*running), waitingWatch(*waiting);
    running->startAsynchronous();
    ASSERT_TRUE(eventually([&] { return runningWatch.count(Hook::received) > 0; }));
    ASSERT_EQ(files().size(), 2u);  // the destination and the partial download
    waiting->startAsynchronous();
    EXPECT_EQ(waiting->state(), HTTPRequest::State::waiting);
    waiting->cancel();
    EXPECT_EQ(waitingWatch.ending(*waiting, 5s), "failed cancelled Cancelled");
    EXPECT_EQ(waitingWatch.count(Hook::started), 0);
    running->cancel();
    EXPECT_EQ(runningWatch.ending(*running, 5s), "failed cancelled Cancelled");
    EXPECT_EQ(destination(), "original");
    EXPECT_EQ(files(), Files{"object"});
    EXPECT_EQ(server.requestCount(), 1u);
}

}  // namespace
}  // namespace quilo::test
