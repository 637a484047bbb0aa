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
#include "support/FaultProxy.hpp"
#include "support/FaultServer.hpp"
#include "support/RequestWatch.hpp"

namespace quilo::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using detail::RetryPolicy;
using Hook = RequestWatch::Hook;
using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kMiB = 1 << 20;

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

std::string contentOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class FaultInjection : public ::testing::Test {
  protected:
    void SetUp() override {
        RetryPolicy::setBaseDelay(5ms);
        static std::atomic<int> serial{0};
        fs::create_directories(dir_ /= std::to_string(::getpid()) + "-" + std::to_string(++serial));
    }
    void TearDown() override {
        RetryPolicy::setBaseDelay(100ms);
        HTTPRequest::sharedQueue().setMaxConcurrentOperationCount(limit_);
        fs::remove_all(dir_);
    }

    std::vector<std::string> filesInDir() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_))
            names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    // A download into a destination that already holds something the request must not spoil.
    std::shared_ptr<HTTPRequest> download(const FaultServer& server) const {
        std::ofstream(dir_ / "object") << "original";
        auto request = std::make_shared<HTTPRequest>(server.url("/object"));
        request->setDownloadDestinationPath((dir_ / "object").string());
        return request;
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
        {{unavailable}, "failed service error HTTP503", 4},
        {{FaultAction::reply(404)}, "failed service error HTTP404", 1},
        {{FaultAction::reply(400, "<Error><Code>Nope</Code></Error>")},
         "failed service error HTTP400",
         1},
        {{FaultAction::reply(400, "<Error><Code>RequestTimeout</Code></Error>"), ok},
         "finished",
         2},
        {{FaultAction::hangUp(), ok}, "finished", 2},
        {{FaultAction::hangUp()}, "failed transport error EmptyResponse", 4},
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

TEST_F(FaultInjection, BodyCutShortLeavesTheDestinationAlone) {
    FaultServer server(scripted({FaultAction::truncated(std::string(5000, 'n'), 100000)}));
    auto request = download(server);
    EXPECT_EQ(RequestWatch(*request).run(*request), "failed transport error TruncatedResponse");
    EXPECT_EQ(contentOf(dir_ / "object"), "original");
    EXPECT_EQ(filesInDir(), std::vector<std::string>{"object"});  // no temporary file left
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
    const auto begin = Clock::now();
    EXPECT_EQ(RequestWatch(*silent).run(*silent, 10s), "failed time-out Timeout");
    EXPECT_LT(Clock::now() - begin, 5s);
    EXPECT_EQ(slowWatch.ending(*slow, 10s), "finished");
    EXPECT_EQ(slow->responseData(), "fifteen bytes!!");
    EXPECT_GT(Clock::now() - begin, 2s);
}

TEST_F(FaultInjection, UnreadableOrOversizedAnswersAreBadResponses) {
    const std::vector<FaultAction> answers = {
        FaultAction::reply(200, ""),
        FaultAction::reply(200, "not xml at all"),
        FaultAction::reply(200, "<ListBucketResult><Name>bucket</Name><Contents><Key>a</Key>"),
        FaultAction::reply(200,
                           "<ListBucketResult><Contents><Key>a</Key><Size>x</Size>"
                           "</Contents></ListBucketResult>"),
        FaultAction::reply(200, "<Error><Code>InternalError</Code></Error>"),
        FaultAction::generated(96 * kMiB),
    };
    for (const auto& answer : answers) {
        FaultServer server(scripted({answer}));
        auto listing = pointedAt(S3BucketRequest::requestWithBucket("bucket"), server.host());
        const std::string outcome = RequestWatch(*listing).run(*listing);
        EXPECT_TRUE(outcome.starts_with("failed bad response ")) << outcome;
        EXPECT_TRUE(listing->objects().empty());
        // The library hung up early rather than take in what it would refuse anyway.
        ASSERT_TRUE(eventually([&] { return server.inProgress() == 0; }));
        EXPECT_LT(server.bodyBytesSent(), 64 * kMiB);
    }
}

// A copy can fail after the service has sent its 200: the body then is an <Error>.
TEST_F(FaultInjection, CopyAnsweredWithAnErrorUnderA200Fails) {
    FaultServer server(scripted({FaultAction::reply(200,
                                                    "<Error><Code>InternalError</Code>"
                                                    "<Message>Try again.</Message><RequestId>"
                                                    "4442587FB7D0A2F9</RequestId></Error>")
                                     .header("Content-Type", "application/xml")}));
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

// Through a proxy in front of a server that answers well: a reset is retried; an answer cut
// inside its head (a HEAD answer has no body to cut) is not, as the answer had begun.
TEST_F(FaultInjection, ResetsAreRetriedButAHeadCutShortIsNot) {
    FaultServer server(scripted({FaultAction::reply(200).header("ETag", "\"0123456789abcdef\"")}));
    FaultProxy proxy(server.host());
    for (auto fault : {ProxyFault::reset, ProxyFault::cutResponse}) {
        proxy.setSchedule(FaultProxy::every(2, fault, proxy.counts().requests));
        auto head = pointedAt(S3ObjectRequest::requestForMetaWithBucket("b", "k"), proxy.host());
        EXPECT_EQ(RequestWatch(*head).run(*head), fault == ProxyFault::reset
                                                      ? "finished"
                                                      : "failed transport error TruncatedResponse");
    }
    EXPECT_EQ(proxy.counts().resets + proxy.counts().cutResponses, 2u);
    EXPECT_EQ(server.requestCount(), 2u);  // the retry after the reset, and the cut one only
}

TEST_F(FaultInjection, LargeDownloadArrivesWholeWithSteadyProgress) {
    const std::uint64_t size = 200 * kMiB;
    FaultServer server(scripted({FaultAction::generated(size)}));
    auto request = std::make_shared<HTTPRequest>(server.url("/large"));
    request->setDownloadDestinationPath((dir_ / "large").string());
    RequestWatch watch(*request);
    ASSERT_EQ(watch.run(*request, 120s), "finished");
    ASSERT_EQ(filesInDir(), std::vector<std::string>{"large"});
    std::ifstream in(dir_ / "large", std::ios::binary);
    std::vector<char> block(kMiB), expected(kMiB + FaultServer::patternPeriod);
    for (std::size_t i = 0; i < expected.size(); ++i)
        expected[i] = FaultServer::patternByte(i);
    for (std::uint64_t offset = 0; offset < size; offset += kMiB) {
        ASSERT_TRUE(in.read(block.data(), kMiB)) << offset;
        const auto shift = static_cast<std::ptrdiff_t>(offset % FaultServer::patternPeriod);
        ASSERT_TRUE(std::equal(block.begin(), block.end(), expected.begin() + shift)) << offset;
    }
    EXPECT_EQ(in.get(), EOF);
    const auto progress = watch.progress();
    ASSERT_FALSE(progress.empty());
    for (std::size_t i = 1; i < progress.size(); ++i)
        EXPECT_GT(progress[i].first, progress[i - 1].first);
    EXPECT_EQ(progress.back(), std::make_pair(size, size));
}

TEST_F(FaultInjection, ObjectWhoseBytesDoNotMatchItsETagIsNotKept) {
    for (const std::string etag : {"00000000000000000000000000000000",
                                   "5d41402abc4b2a76b9719d911017c592"}) {  // the MD5 of "hello"
        FaultServer server(
            scripted({FaultAction::reply(200, "hello").header("ETag", '"' + etag + '"')}));
        auto get = pointedAt(S3ObjectRequest::requestWithBucket("bucket", "key"), server.host());
        get->setDownloadDestinationPath((dir_ / "object").string());
        const bool right = etag.starts_with("5d");
        EXPECT_EQ(RequestWatch(*get).run(*get),
                  right ? "finished" : "failed integrity error ChecksumMismatch");
        EXPECT_EQ(filesInDir(),
                  right ? std::vector<std::string>{"object"} : std::vector<std::string>{});
    }
    EXPECT_EQ(contentOf(dir_ / "object"), "hello");
}

TEST_F(FaultInjection, CancelEndsARunningDownloadAndRemovesItsTemporaryFile) {
    FaultServer server(
        scripted({FaultAction::truncated(std::string(1000, 'p'), 100000).thenStall()}));
    auto request = download(server);
    request->setShowAccurateProgress(true);
    RequestWatch watch(*request);
    request->startAsynchronous();
    ASSERT_TRUE(eventually([&] { return !watch.progress().empty(); }));
    ASSERT_EQ(filesInDir().size(), 2u);  // the destination and the partial download
    request->cancel();
    EXPECT_EQ(watch.ending(*request, 5s), "failed cancelled Cancelled");
    EXPECT_EQ(contentOf(dir_ / "object"), "original");
    EXPECT_EQ(filesInDir(), std::vector<std::string>{"object"});
}

TEST_F(FaultInjection, CancelEndsAWaitingRequest) {
    HTTPRequest::sharedQueue().setMaxConcurrentOperationCount(1);
    FaultServer server(scripted({FaultAction::stall()}));
    auto running = std::make_shared<HTTPRequest>(server.url("/running"));
    auto waiting = std::make_shared<HTTPRequest>(server.url("/waiting"));
    RequestWatch runningWatch(*running), waitingWatch(*waiting);
    running->startAsynchronous();
    ASSERT_TRUE(eventually([&] { return server.inProgress() == 1; }));
    waiting->startAsynchronous();
    EXPECT_EQ(waiting->state(), HTTPRequest::State::waiting);
    waiting->cancel();
    EXPECT_EQ(waitingWatch.ending(*waiting, 5s), "failed cancelled Cancelled");
    EXPECT_EQ(waitingWatch.count(Hook::started), 0);
    running->cancel();
    EXPECT_EQ(runningWatch.ending(*running, 5s), "failed cancelled Cancelled");
    EXPECT_EQ(server.requestCount(), 1u);
}

}  // namespace
}  // namespace quilo::test
