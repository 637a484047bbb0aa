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
using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kMiB = 1 << 20;

// Plays `script` in order, repeating its last action.
FaultServer::Handler scripted(std::vector<FaultAction> script) {
    return [script = std::move(script)](const ServedRequest& request) {
        return script[std::min<std::size_t>(request.sequence, script.size() - 1)];
    };
}

void pointAt(S3Request& request, const FaultServer& server) {
    request.setHost(server.host());
    request.setAccessKey("AKIDEXAMPLE");
    request.setSecretAccessKey("wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY");
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
        dir_ = fs::temp_directory_path() /
               ("quilo-fault-" + std::to_string(::getpid()) + "-" + std::to_string(++serial));
        fs::create_directories(dir_);
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
    // A destination that already holds something the request must not spoil.
    fs::path existingFile(const std::string& name) const {
        std::ofstream(dir_ / name) << "original";
        return dir_ / name;
    }

    const int limit_ = HTTPRequest::sharedQueue().maxConcurrentOperationCount();
    fs::path dir_;
};

TEST_F(FaultInjection, RetriesTransientFailuresOnly) {
    const std::string requestTimeout =
        "<Error><Code>RequestTimeout</Code><Message>idle</Message></Error>";
    struct Case {
        const char* name;
        std::vector<FaultAction> script;
        std::optional<ErrorKind> failure;
        int status;
        std::size_t attempts;
    };
    const std::vector<Case> cases = {
        {"503 twice, then 200",
         {FaultAction::reply(503), FaultAction::reply(503), FaultAction::reply(200, "ok")},
         {},
         200,
         3},
        {"503 forever", {FaultAction::reply(503)}, ErrorKind::service, 503, 4},
        {"404", {FaultAction::reply(404)}, ErrorKind::service, 404, 1},
        {"hang-up, then 200", {FaultAction::hangUp(), FaultAction::reply(200, "ok")}, {}, 200, 2},
        {"hang-up forever", {FaultAction::hangUp()}, ErrorKind::transport, 0, 4},
        {"RequestTimeout, then 200",
         {FaultAction::reply(400, requestTimeout), FaultAction::reply(200, "ok")},
         {},
         200,
         2},
        {"other 400",
         {FaultAction::reply(400, "<Error><Code>Nope</Code></Error>")},
         ErrorKind::service,
         400,
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FaultServer server(scripted(c.script));
        auto request = std::make_shared<HTTPRequest>(server.url("/thing"));
        RequestWatch watch(*request);
        request->startAsynchronous();
        ASSERT_TRUE(watch.waitForEnd());
        EXPECT_EQ(server.requestCount(), c.attempts);
        EXPECT_EQ(watch.count(c.failure ? Hook::failed : Hook::finished), 1);
        EXPECT_EQ(watch.count(Hook::failed) + watch.count(Hook::finished), 1);
        EXPECT_EQ(request->responseStatusCode(), c.status);
        if (c.failure) {
            ASSERT_TRUE(request->error());
            EXPECT_EQ(request->error()->kind, *c.failure) << request->error()->description();
            EXPECT_EQ(request->error()->httpStatus, c.status);
        } else {
            EXPECT_EQ(request->responseData(), "ok");
        }
    }
}

TEST_F(FaultInjection, FollowsRedirectToAnotherServer) {
    FaultServer there(scripted({FaultAction::reply(200, "from there")}));
    FaultServer here(scripted({FaultAction::reply(307).header("Location", there.url("/b?x=1"))}));
    auto request = std::make_shared<HTTPRequest>(here.url("/a"));
    RequestWatch watch(*request);
    request->startAsynchronous();
    ASSERT_TRUE(watch.waitForEnd());
    EXPECT_EQ(watch.count(Hook::finished), 1);
    EXPECT_EQ(watch.count(Hook::redirected), 1);
    EXPECT_EQ(request->responseData(), "from there");
    EXPECT_EQ(here.requestCount(), 1u);
    ASSERT_EQ(there.requestCount(), 1u);
    EXPECT_EQ(there.requests()[0].target, "/b?x=1");
}

TEST_F(FaultInjection, RedirectLoopGivesUp) {
    FaultServer a, b;
    a.setHandler(scripted({FaultAction::reply(307).header("Location", b.url("/loop"))}));
    b.setHandler(scripted({FaultAction::reply(307).header("Location", a.url("/loop"))}));
    auto request = std::make_shared<HTTPRequest>(a.url("/loop"));
    RequestWatch watch(*request);
    request->startAsynchronous();
    ASSERT_TRUE(watch.waitForEnd());
    EXPECT_EQ(watch.count(Hook::failed), 1);
    ASSERT_TRUE(request->error());
    EXPECT_EQ(request->error()->code, "TooManyRedirects");
    EXPECT_EQ(a.requestCount() + b.requestCount(), 6u);  // the first and five redirects
    EXPECT_EQ(watch.count(Hook::redirected), 5);
}

TEST_F(FaultInjection, BodyCutShortLeavesTheDestinationAlone) {
    FaultServer server(scripted({FaultAction::truncated(std::string(5000, 'n'), 100000)}));
    auto destination = existingFile("object");
    auto request = std::make_shared<HTTPRequest>(server.url("/object"));
    request->setDownloadDestinationPath(destination.string());
    RequestWatch watch(*request);
    request->startAsynchronous();
    ASSERT_TRUE(watch.waitForEnd());
    EXPECT_EQ(watch.count(Hook::failed), 1);
    EXPECT_EQ(watch.count(Hook::finished), 0);
    ASSERT_TRUE(request->error());
    EXPECT_EQ(request->error()->kind, ErrorKind::transport) << request->error()->description();
    EXPECT_EQ(contentOf(destination), "original");
    EXPECT_EQ(filesInDir(), std::vector<std::string>{"object"});  // no *.download left
}

TEST_F(FaultInjection, IdleTimeOutFiresOnSilenceOnly) {
    FaultServer server([](const ServedRequest& request) {
        if (request.target == "/silent")
            return FaultAction::stall(10s);
        return FaultAction::reply(200, "fifteen bytes!!").paced(1, 200ms);  // ~3 s in all
    });
    auto silent = std::make_shared<HTTPRequest>(server.url("/silent"));
    auto slow = std::make_shared<HTTPRequest>(server.url("/slow"));
    RequestWatch silentWatch(*silent), slowWatch(*slow);
    for (auto& request : {silent, slow}) {
        request->setTimeOutSeconds(1);
        request->startAsynchronous();
    }
    auto begin = Clock::now();
    ASSERT_TRUE(silentWatch.waitForEnd(10s, 0ms));
    EXPECT_LT(Clock::now() - begin, 5s);
    EXPECT_EQ(silentWatch.count(Hook::failed), 1);
    ASSERT_TRUE(silent->error());
    EXPECT_EQ(silent->error()->kind, ErrorKind::timeout) << silent->error()->description();

    ASSERT_TRUE(slowWatch.waitForEnd(10s));
    EXPECT_EQ(slowWatch.count(Hook::finished), 1)
        << (slow->error() ? slow->error()->description() : "");
    EXPECT_EQ(slow->responseData(), "fifteen bytes!!");
    EXPECT_GT(Clock::now() - begin, 2s);
}

TEST_F(FaultInjection, UnreadableListingIsABadResponse) {
    const std::vector<std::string> bodies = {
        "",
        "not xml at all",
        "<ListBucketResult><Name>bucket</Name><Contents><Key>a</Key>",
        "<ListBucketResult><Name>bucket</Name><Contents><Key>a</Key><Size>x</Size></Contents>"
        "</ListBucketResult>",
        "<Error><Code>InternalError</Code></Error>",
    };
    for (const auto& body : bodies) {
        SCOPED_TRACE(body);
        FaultServer server(scripted({FaultAction::reply(200, body)}));
        auto listing = S3BucketRequest::requestWithBucket("bucket");
        pointAt(*listing, server);
        RequestWatch watch(*listing);
        listing->startAsynchronous();
        ASSERT_TRUE(watch.waitForEnd());
        EXPECT_EQ(watch.count(Hook::failed), 1);
        ASSERT_TRUE(listing->error());
        EXPECT_EQ(listing->error()->kind, ErrorKind::response) << listing->error()->description();
        EXPECT_TRUE(listing->objects().empty());
    }
}

TEST_F(FaultInjection, HugeListingIsRefusedWithoutReadingItAll) {
    const std::uint64_t size = 96 * kMiB;
    FaultServer server(scripted({FaultAction::generated(size)}));
    auto listing = S3BucketRequest::requestWithBucket("bucket");
    pointAt(*listing, server);
    RequestWatch watch(*listing);
    listing->startAsynchronous();
    ASSERT_TRUE(watch.waitForEnd());
    ASSERT_TRUE(listing->error());
    EXPECT_EQ(listing->error()->kind, ErrorKind::response) << listing->error()->description();
    // The library hung up early instead of taking in what it would refuse anyway.
    ASSERT_TRUE(eventually([&] { return server.inProgress() == 0; }));
    EXPECT_LT(server.bodyBytesSent(), 64 * kMiB);
}

TEST_F(FaultInjection, LargeDownloadArrivesWholeWithSteadyProgress) {
    const std::uint64_t size = 200 * kMiB;
    FaultServer server(scripted({FaultAction::generated(size)}));
    auto destination = dir_ / "large";
    auto request = std::make_shared<HTTPRequest>(server.url("/large"));
    request->setDownloadDestinationPath(destination.string());
    RequestWatch watch(*request);
    request->startAsynchronous();
    ASSERT_TRUE(watch.waitForEnd(120s));
    ASSERT_EQ(watch.count(Hook::finished), 1)
        << (request->error() ? request->error()->description() : "");
    ASSERT_EQ(fs::file_size(destination), size);

    std::ifstream in(destination, std::ios::binary);
    std::vector<char> block(kMiB + FaultServer::patternPeriod), expected(block.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        expected[i] = FaultServer::patternByte(i);
    for (std::uint64_t offset = 0; offset < size; offset += kMiB) {
        in.read(block.data(), kMiB);
        auto shift = static_cast<std::ptrdiff_t>(offset % FaultServer::patternPeriod);
        ASSERT_TRUE(std::equal(block.begin(), block.begin() + kMiB, expected.begin() + shift))
            << "at MiB " << offset / kMiB;
    }

    auto progress = watch.progress();
    ASSERT_FALSE(progress.empty());
    for (std::size_t i = 1; i < progress.size(); ++i)
        EXPECT_GT(progress[i].first, progress[i - 1].first);
    EXPECT_EQ(progress.back(), std::make_pair(size, size));
    EXPECT_EQ(filesInDir(), std::vector<std::string>{"large"});
}

TEST_F(FaultInjection, ObjectWhoseBytesDoNotMatchItsETagIsNotKept) {
    const std::string helloMd5 = "5d41402abc4b2a76b9719d911017c592";
    for (const std::string& etag : {std::string(32, '0'), helloMd5}) {
        SCOPED_TRACE(etag);
        FaultServer server(
            scripted({FaultAction::reply(200, "hello").header("ETag", "\"" + etag + "\"")}));
        auto get = S3ObjectRequest::requestWithBucket("bucket", "key");
        pointAt(*get, server);
        get->setDownloadDestinationPath((dir_ / "object").string());
        RequestWatch watch(*get);
        get->startAsynchronous();
        ASSERT_TRUE(watch.waitForEnd());
        if (etag == helloMd5) {
            EXPECT_EQ(watch.count(Hook::finished), 1);
            EXPECT_EQ(contentOf(dir_ / "object"), "hello");
            continue;
        }
        EXPECT_EQ(watch.count(Hook::failed), 1);
        ASSERT_TRUE(get->error());
        EXPECT_EQ(get->error()->kind, ErrorKind::integrity) << get->error()->description();
        EXPECT_TRUE(filesInDir().empty());
    }
}

TEST_F(FaultInjection, CancelEndsARunningDownloadAndRemovesItsTemporaryFile) {
    FaultServer server(
        scripted({FaultAction::truncated(std::string(1000, 'p'), 100000).thenStall()}));
    auto destination = existingFile("object");
    auto request = std::make_shared<HTTPRequest>(server.url("/object"));
    request->setDownloadDestinationPath(destination.string());
    request->setShowAccurateProgress(true);
    RequestWatch watch(*request);
    request->startAsynchronous();
    ASSERT_TRUE(eventually([&] { return !watch.progress().empty(); }));
    ASSERT_EQ(filesInDir().size(), 2u);  // the destination and the partial download
    request->cancel();
    ASSERT_TRUE(watch.waitForEnd(5s));
    EXPECT_EQ(watch.count(Hook::failed), 1);
    ASSERT_TRUE(request->error());
    EXPECT_EQ(request->error()->kind, ErrorKind::cancelled);
    EXPECT_EQ(contentOf(destination), "original");
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
    ASSERT_TRUE(waitingWatch.waitForEnd(5s));
    EXPECT_EQ(waitingWatch.count(Hook::started), 0);
    EXPECT_EQ(waitingWatch.count(Hook::failed), 1);
    ASSERT_TRUE(waiting->error());
    EXPECT_EQ(waiting->error()->kind, ErrorKind::cancelled);
    running->cancel();
    ASSERT_TRUE(runningWatch.waitForEnd(5s));
    EXPECT_EQ(running->error() ? running->error()->kind : ErrorKind::misuse, ErrorKind::cancelled);
    EXPECT_EQ(server.requestCount(), 1u);
}

TEST_F(FaultInjection, AnswerBeforeContinueEndsTheUpload) {
    FaultServer server(
        [](const ServedRequest& request) { return FaultAction::reply(200, request.body); });
    server.setContinueHandler([](const ServedRequest& head) -> std::optional<FaultAction> {
        if (head.target == "/refused")
            return FaultAction::reply(403, "no");
        return std::nullopt;
    });
    for (const std::string target : {"/accepted", "/refused"}) {
        SCOPED_TRACE(target);
        auto put = std::make_shared<HTTPRequest>(server.url(target));
        put->setRequestMethod("PUT");
        put->addRequestHeader("Expect", "100-continue");
        put->setPostBody("payload");
        RequestWatch watch(*put);
        put->startAsynchronous();
        ASSERT_TRUE(watch.waitForEnd());
        if (target == "/accepted") {
            EXPECT_EQ(watch.count(Hook::finished), 1);
            EXPECT_EQ(put->responseData(), "payload");  // the body went after the 100
        } else {
            EXPECT_EQ(watch.count(Hook::failed), 1);
            EXPECT_EQ(put->responseStatusCode(), 403);
            EXPECT_EQ(put->responseData(), "no");
        }
    }
}

}  // namespace
}  // namespace quilo::test
