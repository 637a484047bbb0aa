#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "quilo/requestlib/http/HTTPRequest.hpp"
#include "quilo/requestlib/http/HTTPRequestQueue.hpp"
#include "quilo/requestlib/s3/S3BucketRequest.hpp"
#include "quilo/requestlib/s3/S3ObjectRequest.hpp"
#include "requestlib/encoding/Crypto.hpp"
#include "requestlib/http/Protocol.hpp"
#include "requestlib/http/RequestRun.hpp"
#include "support/FaultServer.hpp"
#include "support/RequestWatch.hpp"
#include "support/Servers.hpp"
#include "support/SharedState.hpp"

namespace quilo::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using detail::RetryPolicy;
using Hook = RequestWatch;
using Files = std::vector<std::string>;

// Plays `script` in order, repeating its last action.
FaultServer::Handler scripted(std::vector<FaultAction> script) {
    return [script = std::move(script)](const ServedRequest& request) {
        return script[std::min<std::size_t>(request.sequence, script.size() - 1)];
    };
}

std::string md5Hex(const std::string& bytes) {
    detail::StreamingDigest digest(detail::StreamingDigest::Algorithm::md5);
    digest.update(bytes.data(), bytes.size());
    return digest.hexDigest();
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
        temp_.file("object", "original");
    }
    void TearDown() override { RetryPolicy::setBaseDelay(100ms); }

    Files files() const {
        Files names;
        for (const auto& entry : fs::directory_iterator(dir_))
            names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string destination() const { return readFile(dir_ / "object"); }

    const SharedStateGuard restore_;
    const TempDir temp_;
    const fs::path& dir_ = temp_.path();
};

TEST_F(FaultInjection, RetriesTransientFailuresOnly) {
    const auto ok = FaultAction::reply(200, "ok"), unavailable = FaultAction::reply(503);
    const std::string slowDown = "<Error><Code>SlowDown</Code></Error>";
    const struct {
        std::vector<FaultAction> script;
        std::string outcome;
        std::size_t attempts;
        std::chrono::milliseconds least{0};
    } cases[] = {
        {{unavailable, unavailable, ok}, "finished", 3},
        {{FaultAction::hangUp()}, "failed transport error EmptyResponse", 4},
        {{FaultAction::reply(400, "<Error><Code>Nope</Code></Error>")},
         "failed service error Nope",
         1},
        // The same status with a transient code is retried.
        {{FaultAction::reply(400, "<Error><Code>RequestTimeout</Code></Error>"), ok},
         "finished",
         2},
        {{FaultAction{.kind = FaultAction::Kind::reset}, ok}, "finished", 2},
        // Once an answer has begun, sending again could repeat what it did.
        {{FaultAction{.cutHead = true}}, "failed transport error TruncatedResponse", 1},
        // The service's word on when to come back counts, above the backoff.
        {{FaultAction::reply(503, slowDown).header("Retry-After", "1"), ok}, "finished", 2, 1s},
    };
    std::set<std::thread::id> threads;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.outcome + " " + std::to_string(c.attempts));
        FaultServer server(scripted(c.script));
        auto request = pointedAt(S3ObjectRequest::requestWithBucket("b", "k"), server.host());
        const auto begin = std::chrono::steady_clock::now();
        const RequestWatch watch(*request);
        request->startAsynchronous();  // a second start, and the retries, call started no more
        EXPECT_EQ(watch.run(*request), c.outcome);
        threads.merge(watch.threads());
        EXPECT_TRUE(c.outcome != "finished" || watch.count(RequestWatch::received) > 0);
        EXPECT_GE(std::chrono::steady_clock::now() - begin, c.least);
        EXPECT_EQ(server.requestCount(), c.attempts);
        EXPECT_EQ(request->responseData(), c.script.back().body);  // the last answer's alone
    }
    // A service asking for a day's pause is given twenty seconds at most.
    EXPECT_EQ(detail::retryAfter({.status = 503, .headers = {{"Retry-After", "86400"}}}), 20s);
    // Every hook on the library's one thread.
    EXPECT_EQ(threads.size(), 1u);
    EXPECT_FALSE(threads.contains(std::this_thread::get_id()));
}

// Credentials and bodies go nowhere but where the request was going.
TEST_F(FaultInjection, FollowsRedirectsOnlyOnTheSameServer) {
    FaultServer there(scripted({FaultAction::reply(200, "from there")}));
    const auto elsewhere = "http://localhost:" + std::to_string(there.port()) + "/b";
    const struct {
        FaultAction answer;
        std::string outcome;
        std::size_t attempts;
    } cases[] = {
        {FaultAction::reply(307).header("Location", "/b?x=1"), "finished", 2},
        {FaultAction::reply(307).header("Location", elsewhere),
         "failed service error RedirectRefused", 1},
        {FaultAction::reply(301).header("Location", there.url("/b")),
         "failed service error RedirectRefused", 1},
        // Another host on the same scheme and port, as both ends are on 443 in real life.
        {FaultAction::reply(307).header("Location", "http://localhost:PORT/b"),
         "failed service error RedirectRefused", 1},
        // Only a region to go by, and it is the one already signed for: no loop.
        {FaultAction::reply(301).header("x-amz-bucket-region", "us-east-1"),
         "failed service error PermanentRedirect", 1},
        {FaultAction::reply(301).header("x-amz-bucket-region", "eu-west-1"), "finished", 2},
        {FaultAction::reply(307).header("Location", "/loop"),
         "failed service error TooManyRedirects", 6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.outcome + " " + std::to_string(c.attempts));
        FaultServer here([&](const ServedRequest& request) {
            FaultAction answer = c.answer;
            std::string& location = answer.headers[0].second;
            const bool looping = location == "/loop";
            if (looping)  // a new place every time
                location += std::to_string(request.sequence);
            if (const auto port = location.find("PORT"); port != std::string::npos)
                location.replace(port, 4, std::to_string(here.port()));
            return looping || request.sequence == 0 ? answer : FaultAction::reply(200, "here");
        });
        auto request = pointedAt(S3ObjectRequest::requestWithBucket("b", "k"), here.host());
        RequestWatch watch(*request);
        EXPECT_EQ(watch.run(*request), c.outcome);
        EXPECT_EQ(here.requestCount(), c.attempts);
        EXPECT_EQ(watch.count(Hook::redirected), static_cast<int>(c.attempts) - 1);
    }
    EXPECT_EQ(there.requestCount(), 0u);
}

// Silence times out, and so does a server too slow to count as moving.
TEST_F(FaultInjection, TimesOutOnSilenceAndBelowTheSpeedFloor) {
    const struct {
        FaultAction answer;
        std::string outcome;
    } cases[] = {
        {FaultAction::stall(10s), "failed time-out Timeout"},
        {FaultAction::generated(100000).paced(10, 100ms), "failed time-out Timeout"},
        {FaultAction::generated(100000).paced(4096, 100ms), "finished"},  // ~40 KiB/s
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.outcome);
        FaultServer server(scripted({c.answer}));
        auto request = std::make_shared<HTTPRequest>(server.url("/"));
        request->setTimeOutSeconds(1);
        const auto begin = std::chrono::steady_clock::now();
        EXPECT_EQ(RequestWatch(*request).run(*request, 15s), c.outcome);
        EXPECT_LT(std::chrono::steady_clock::now() - begin, 8s);
    }
}

TEST_F(FaultInjection, UnreadableOrOversizedListingsAreBadResponses) {
    const std::vector<FaultAction> answers = {
        FaultAction::reply(200, "<ListBucketResult><Name>bucket</Name><Contents><Key>a</Key>"),
        FaultAction::reply(200,
                           "<ListBucketResult><Contents><Key>a</Key><Size>x</Size>"
                           "</Contents></ListBucketResult>"),
        FaultAction::reply(200, "<Error><Code>InternalError</Code></Error>"),
        FaultAction::generated(96 << 20),
        FaultAction::reply(200, "body").header("X-Big", std::string(70 << 10, 'b')),
    };
    for (const auto& answer : answers) {
        FaultServer server(scripted({answer}));
        auto listing = pointedAt(S3BucketRequest::requestWithBucket("bucket"), server.host());
        const std::string outcome = RequestWatch(*listing).run(*listing);
        EXPECT_TRUE(outcome.starts_with("failed bad response ")) << outcome;
        EXPECT_TRUE(listing->objects().empty());
        EXPECT_EQ(server.requestCount(), 1u);  // nothing a retry would mend
        // The library hung up early rather than take in what it would refuse anyway.
        ASSERT_TRUE(eventually([&] { return server.inProgress() == 0; }));
        EXPECT_LT(server.bodyBytesSent(), 64u << 20);
    }
}

// A page that would not take a walk past where it was asked from fails at once: asked again, a
// server answering so would keep a walk going for ever. (Object listings: Operations tests.)
TEST_F(FaultInjection, ListingPagesThatDoNotMoveOnAreBadResponses) {
    using Op = S3BucketRequest::Operation;
    const auto listing = [](Op operation, std::string id = {}) {
        auto request = S3BucketRequest::requestWithBucket("bucket", operation);
        request->setMarker("m");
        operation == Op::listVersions ? request->setVersionIdMarker(std::move(id))
                                      : request->setUploadIdMarker(std::move(id));
        return std::shared_ptr<S3Request>(request);
    };
    const auto parts = [] {
        auto request = S3ObjectRequest::requestForPartsWithBucket("bucket", "key", "U");
        request->setPartNumberMarker(2);
        return std::shared_ptr<S3Request>(request);
    };
    const auto page = [](const std::string& root, bool truncated, const std::string& inner) {
        return "<" + root + "><IsTruncated>" + (truncated ? "true" : "false") + "</IsTruncated>" +
               inner + "</" + root + ">";
    };
    const auto version = [](const std::string& key) {
        return "<Version><Key>" + key + "</Key><VersionId>v</VersionId><IsLatest>true</IsLatest>" +
               "<Size>1</Size></Version>";
    };
    const struct {
        const char* name;
        std::shared_ptr<S3Request> request;
        std::string body;
    } cases[] = {
        {"a prefix at the marker", listing(Op::list),
         page("ListBucketResult", false, "<CommonPrefixes><Prefix>m</Prefix></CommonPrefixes>")},
        {"versions back", listing(Op::listVersions, "v"),
         page("ListVersionsResult", false, version("a"))},
        {"versions stuck", listing(Op::listVersions, "v"),
         page("ListVersionsResult", true,
              version("m") + "<NextKeyMarker>m</NextKeyMarker><NextVersionIdMarker>v"
                             "</NextVersionIdMarker>")},
        {"uploads back", listing(Op::listUploads),
         page("ListMultipartUploadsResult", true, "<NextKeyMarker>a</NextKeyMarker>")},
        {"parts back", parts(),
         page("ListPartsResult", false,
              "<Part><PartNumber>2</PartNumber><Size>1</Size><ETag>e</ETag></Part>")},
        {"parts stuck", parts(),
         page("ListPartsResult", true, "<NextPartNumberMarker>2</NextPartNumberMarker>")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FaultServer server(scripted({FaultAction::reply(200, c.body)}));
        pointedAt(c.request, server.host());
        EXPECT_EQ(RequestWatch(*c.request).run(*c.request),
                  "failed bad response MalformedResponse");
        EXPECT_EQ(server.requestCount(), 1u);
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
    const auto served = server.requests().back();  // after the HEAD of the source
    EXPECT_EQ(served.method + " " + served.target, "PUT /des-bucket/des/key");
    // Slashes stay, as in a path; everything else outside A-Z a-z 0-9 - . _ ~ is escaped.
    EXPECT_EQ(served.headers.at("x-amz-copy-source"),
              "/src-bucket/dir/%D0%BA%D0%BB%D1%8E%D1%87%20%3F%23%2B%252F../x%26%3D~");
}

// What a server that takes ranges answers for `object`, named `etag`.
FaultAction served(const std::string& object, const std::string& etag, const ServedRequest& r) {
    const std::string range = headerOf(r.headers, "Range");
    if (range.empty())
        return FaultAction::reply(200, object)
            .header("ETag", etag)
            .header("Accept-Ranges", "bytes");
    if (headerOf(r.headers, "If-Match") != etag)
        return FaultAction::reply(412);
    unsigned long long first = 0, last = object.size() - 1;
    std::sscanf(range.c_str(), "bytes=%llu-%llu", &first, &last);
    return FaultAction::reply(206, object.substr(first, last - first + 1))
        .header("ETag", etag)
        .header("Content-Range", "bytes " + std::to_string(first) + "-" + std::to_string(last) +
                                     "/" + std::to_string(object.size()));
}

// The object reaches its destination whole and checked, or the destination stays as it was; a
// broken connection goes on where it stopped, and nothing else in the directory is touched. A
// large object comes in ranges, all of the version the first answer named.
TEST_F(FaultInjection, DownloadsReplaceTheDestinationOnlyWhenComplete) {
    S3ObjectRequest::setRangeThreshold(1 << 20);
    S3ObjectRequest::setRangeSize(1200000);  // two at once: 0.6, 1.2, 1.2, 1.2 and 0.8 MB
    S3ObjectRequest::setRangeConcurrency(2);
    const std::string object = randomBytes(5000000);
    const std::string etag = "\"" + md5Hex(object) + "\"", wrong = "\"" + md5Hex("x") + "\"";
    const auto whole = FaultAction::reply(200, object).header("ETag", etag);
    const auto firstHalf =
        FaultAction::truncated(object.substr(0, 2000000), object.size()).header("ETag", etag);
    const auto partial = [&](const std::string& from, std::size_t length, std::string range) {
        return FaultAction::reply(206, from.substr(2000000, length))
            .header("ETag", etag)
            .header("Content-Range", "bytes 2000000-" + range + "/5000000");
    };
    const auto rest = partial(object, 3000000, "4999999");
    std::string corrupt = object;
    corrupt[4000000] ^= 1;
    // Claims far more than any disk holds.
    const auto huge = FaultAction::truncated("x", 1ull << 50).header("ETag", etag);
    const auto removeTemporary = [&](const ServedRequest&) {
        for (const auto& entry : fs::directory_iterator(dir_))
            if (entry.path().extension() == ".download")
                fs::remove(entry.path());
        return whole;
    };
    const auto ranges = [&](std::string name) {
        return [&, name](const ServedRequest& r) { return served(object, name, r); };
    };
    // Its refusals wait, so that every range has been asked for by then.
    const auto replacedAfterFirst = [&](const ServedRequest& r) {
        return r.sequence == 0 ? served(object, etag, r) : served("new", wrong, r).delayed(100ms);
    };
    // Takes no notice of If-Match, and names another version in its partial answers.
    const auto relabelled = [&](const ServedRequest& r) {
        FaultAction answer = served(object, etag, r);
        if (answer.status == 206)
            answer.headers[0].second = wrong;
        return r.sequence == 0 ? answer : std::move(answer).delayed(100ms);
    };
    const auto thirdRangeCut = [&](const ServedRequest& r) {
        FaultAction answer = served(object, etag, r);
        if (headerOf(r.headers, "Range") == "bytes=1800000-2999999") {
            answer.contentLength = answer.body.size();
            answer.body.resize(300000);
            answer.close = true;
        }
        return answer;
    };
    const struct {
        FaultServer::Handler serve;
        std::string outcome;
        std::size_t requests;
        std::string resumedAt{};  // the Range of the one request that went on
        std::string version{};    // the first answer's ETag, when not the object's
        bool plant = false;
    } cases[] = {
        {scripted({FaultAction::truncated(std::string(5000, 'n'), 5000000)}),
         "failed transport error TruncatedResponse", 1},
        {scripted({FaultAction::reply(200, object).header("ETag", wrong)}),
         "failed integrity error ChecksumMismatch", 1},
        // Encrypted at rest with KMS, the ETag is no MD5 of the bytes.
        {scripted({FaultAction::reply(200, object)
                       .header("ETag", wrong)
                       .header("x-amz-server-side-encryption", "aws:kms")}),
         "finished", 1},
        {scripted({whole}), "finished", 1, "", "", true},
        {scripted({firstHalf, rest}), "finished", 2, "bytes=2000000-4999999"},
        {scripted({firstHalf, whole}), "finished", 2,
         "bytes=2000000-4999999"},  // whole again: from zero
        {scripted({firstHalf, FaultAction::reply(412)}), "failed service error PreconditionFailed",
         2, "bytes=2000000-4999999"},
        // A resumed body is checked like a whole one, and must reach the object's end.
        {scripted({firstHalf, partial(corrupt, 3000000, "4999999")}),
         "failed integrity error ChecksumMismatch", 2, "bytes=2000000-4999999"},
        {scripted({firstHalf, partial(object, 1000000, "2999999")}),
         "failed bad response MalformedResponse", 2, "bytes=2000000-4999999"},
        {scripted({firstHalf, partial(object, 1000000, "4999999")}),
         "failed transport error TruncatedResponse", 2, "bytes=2000000-4999999"},
        {scripted({huge}), "failed local file error CannotWriteFile", 1},
        {scripted({FaultAction(huge).header("Accept-Ranges", "bytes")}),
         "failed local file error CannotWriteFile", 1},
        {removeTemporary, "failed local file error FileChanged", 1},
        {ranges(etag), "finished", 6},
        {ranges(wrong), "failed integrity error ChecksumMismatch", 6, "", wrong},
        // Overwritten once the first answer is in: no range may splice the new version in.
        {replacedAfterFirst, "failed service error PreconditionFailed", 3},
        {relabelled, "failed bad response MalformedResponse", 3},
        // The range that broke goes on alone, from where it stopped.
        {thirdRangeCut, "finished", 7, "bytes=2100000-2999999"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.outcome + " after " + std::to_string(c.requests));
        // Links and files under the names the temporary file used to have.
        const std::string victim = (dir_ / "victim").string();
        std::ofstream(victim) << "victim";
        for (int n = 0; c.plant && n < 64; ++n) {
            const auto old = dir_ / ("object." + std::to_string(::getpid()) + "-" +
                                     std::to_string(n) + ".download");
            n % 2 ? fs::create_symlink(victim, old) : void(std::ofstream(old) << "planted");
        }
        FaultServer server(c.serve);
        auto get = pointedAt(S3ObjectRequest::requestWithBucket("bucket", "key"), server.host());
        get->setDownloadDestinationPath((dir_ / "object").string());
        const RequestWatch watch(*get);
        EXPECT_EQ(watch.run(*get), c.outcome);
        const bool finished = c.outcome == "finished";
        EXPECT_TRUE(destination() == (finished ? object : "original"));
        EXPECT_TRUE(!finished || watch.receivedUpTo(object.size()));
        EXPECT_EQ(readFile(victim), "victim");
        for (const auto& name : files()) {
            if (name != "object" && name != "victim") {
                EXPECT_TRUE(fs::is_symlink(dir_ / name) || readFile(dir_ / name) == "planted")
                    << name;
            }
        }
        // Every range asks for the version the first answer named; one went on after a break.
        const auto requests = server.requests();
        EXPECT_EQ(requests.size(), c.requests);
        std::size_t resumed = 0;
        for (const auto& r : requests) {
            const std::string range = headerOf(r.headers, "Range");
            EXPECT_EQ(headerOf(r.headers, "If-Match"), range.empty()       ? ""
                                                       : c.version.empty() ? etag
                                                                           : c.version);
            resumed += !range.empty() && range == c.resumedAt;
        }
        EXPECT_EQ(resumed, c.resumedAt.empty() ? 0u : 1u);
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        temp_.file("object", "original");
    }
}

// Everything written to the FIFO at `path` until its writer closes it. It is open for reading
// before this returns, so that a writer finds its reader there.
std::future<std::string> drained(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    return std::async(std::launch::async, [fd] {
        std::string got;
        char block[1 << 16];
        // Until a writer has come and gone, the FIFO is neither readable nor hung up.
        for (pollfd ready{fd, POLLIN, 0}; ::poll(&ready, 1, 20000) > 0;) {
            const ssize_t n = ::read(fd, block, sizeof block);
            if (n == 0 || (n < 0 && errno != EAGAIN))
                break;
            got.append(block, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        }
        ::close(fd);
        return got;
    });
}

// A download goes to what its destination names: a FIFO as the bytes come, still checked; the
// file a link names, the link kept, unless links are not to be followed; a name as long as
// names go. An upload from a FIFO fails at once, reading nothing.
TEST_F(FaultInjection, LocalFilesAreWhatTheirPathsName) {
    const std::string object = randomBytes(3000000), etag = "\"" + md5Hex(object) + "\"";
    const auto whole = FaultAction::reply(200, object).header("ETag", etag);
    const auto cut =
        FaultAction::truncated(object.substr(0, 2000000), object.size()).header("ETag", etag);
    const auto rest = FaultAction::reply(206, object.substr(2000000))
                          .header("ETag", etag)
                          .header("Content-Range", "bytes 2000000-2999999/3000000");
    fs::create_directories(dir_ / "elsewhere");
    const struct {
        std::string kind;
        std::vector<FaultAction> script;
        std::string outcome;
        bool whole = true;  // the destination ends up with every byte
        bool follow = true;
    } cases[] = {
        {"fifo", {whole}, "finished"},
        // The bytes went out before the check could fail.
        {"fifo",
         {FaultAction::reply(200, object).header("ETag", "\"" + md5Hex("x") + "\"")},
         "failed integrity error ChecksumMismatch"},
        {"fifo", {cut, rest}, "finished"},
        {"fifo", {cut, whole}, "failed bad response UnexpectedResponse", false},
        {"link", {whole}, "finished"},
        {"link", {whole}, "finished", true, false},
        {std::string(255, 'n'), {whole}, "finished"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kind + " " + c.outcome);
        const fs::path destination = dir_ / (c.kind.size() > 4 ? c.kind : "object"),
                       target = dir_ / "elsewhere" / "target";
        fs::remove(destination);
        std::ofstream(target) << "original";
        std::future<std::string> reader;
        if (c.kind == "fifo") {
            ASSERT_EQ(::mkfifo(destination.c_str(), 0600), 0);
            reader = drained(destination);
        } else if (c.kind == "link") {
            fs::create_symlink(target, destination);
        }
        FaultServer server(scripted(c.script));
        auto get = pointedAt(S3ObjectRequest::requestWithBucket("bucket", "key"), server.host());
        get->setDownloadDestinationPath(destination.string());
        get->setFollowsSymlinks(c.follow);
        EXPECT_EQ(RequestWatch(*get).run(*get), c.outcome);
        const std::string got = reader.valid() ? reader.get() : readFile(destination);
        EXPECT_TRUE(got == object.substr(0, got.size()) &&
                    (got.size() == object.size()) == c.whole);
        EXPECT_EQ(fs::is_symlink(destination), c.kind == "link" && c.follow);
        EXPECT_TRUE(readFile(target) == (c.kind == "link" && c.follow ? object : "original"));
        for (const auto& folder : {dir_, dir_ / "elsewhere"})
            for (const auto& entry : fs::directory_iterator(folder))
                EXPECT_NE(entry.path().extension(), ".download") << entry.path();
    }
    const auto fifo = dir_ / "source";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    FaultServer server;
    auto put =
        pointedAt(S3ObjectRequest::PUTRequestForFile(fifo.string(), "b", "k"), server.host());
    EXPECT_EQ(RequestWatch(*put).run(*put, 10s), "failed local file error CannotReadFile");
    EXPECT_EQ(server.requestCount(), 0u);
}

using Which = std::function<bool(const ServedRequest&)>;
using Rules = std::vector<std::pair<Which, FaultAction>>;

// An upload's requests against a service that plays along, but for the first rule that picks
// a request.
FaultServer::Handler multipartService(Rules rules) {
    return [rules](const ServedRequest& request) {
        for (const auto& [which, answer] : rules)
            if (which(request))
                return answer;
        if (request.method == "POST" && request.target.ends_with("?uploads"))
            return FaultAction::reply(200,
                                      "<InitiateMultipartUploadResult><UploadId>u-1</UploadId>"
                                      "</InitiateMultipartUploadResult>");
        if (request.method == "PUT")
            return FaultAction::reply(200).header("ETag", "\"" + md5Hex(request.body) + "\"");
        if (request.method == "POST")  // Ceph RGW's answer
            return FaultAction::reply(
                200,
                "<CompleteMultipartUploadResult><ETag></ETag></CompleteMultipartUploadResult>");
        return FaultAction::reply(request.method == "DELETE" ? 204 : 200);
    };
}

// A part, an initiation or a completion must not happen twice, nor an upload outlive a failure;
// an ETag that is no MD5 fails nothing.
TEST_F(FaultInjection, UploadsRepeatNoSideEffectAndLeaveNoParts) {
    S3ObjectRequest::setMultipartThreshold(5 << 20);
    S3ObjectRequest::setMultipartPartSize(5 << 20);
    const std::string content = randomBytes(11 << 20);  // three parts: 5, 5 and 1 MiB
    std::string digests;
    for (std::size_t at = 0; at < content.size(); at += 5 << 20)
        digests += detail::hexDecode(md5Hex(content.substr(at, 5 << 20)));
    const std::string expected = md5Hex(digests) + "-3", source = (dir_ / "up").string();
    const std::string kms = "0123456789abcdef0123456789abcdef";  // hex, yet no MD5
    const auto kmsAnswer = [](int status, std::string body, std::string etag) {
        return FaultAction::reply(status, std::move(body))
            .header("ETag", "\"" + etag + "\"")
            .header("x-amz-server-side-encryption", "aws:kms");
    };
    const auto error = [](int status, const std::string& code) {
        return FaultAction::reply(status, "<Error><Code>" + code + "</Code></Error>");
    };
    const auto method = [](std::string name) {
        return [name](const ServedRequest& r) { return r.method == name; };
    };
    const auto part = [](char n) {
        return [n](const ServedRequest& r) {
            return r.target.find(std::string("partNumber=") + n) != r.target.npos;
        };
    };
    const Which initiation = [](const auto& r) { return r.target.ends_with("?uploads"); };
    const Which completion = [](const auto& r) { return r.target.ends_with("?uploadId=u-1"); };
    const auto replaceFile = [&](const ServedRequest& r) {
        if (part('1')(r)) {
            std::ofstream(source + ".new") << content;
            fs::rename(source + ".new", source);
        }
        return false;
    };
    const struct {
        std::string name, outcome, etag;
        Rules rules;
        std::size_t size = 11 << 20;
    } cases[] = {
        {"plain", "finished", expected, {}},
        {"kms single", "finished", kms, {{method("PUT"), kmsAnswer(200, "", kms)}}, 1000},
        {"kms parts",
         "finished",
         "f-3",
         {{method("PUT"), kmsAnswer(200, "", kms)},
          {completion, kmsAnswer(200,
                                 "<CompleteMultipartUploadResult><ETag>\"f-3\"</ETag>"
                                 "</CompleteMultipartUploadResult>",
                                 "f-3")}}},
        // The first completion went through, but its answer was lost.
        {"completed",
         "finished",
         expected,
         {{[&](const auto& r) { return completion(r) && r.sequence == 4; },
           FaultAction{.kind = FaultAction::Kind::reset}},
          {completion, error(404, "NoSuchUpload")},
          {method("HEAD"), FaultAction::reply(200).header("ETag", "\"" + expected + "\"")}}},
        {"initiation lost",
         "failed transport error ConnectionReset",
         "",
         {{initiation, FaultAction{.kind = FaultAction::Kind::reset}}}},
        {"initiation failed",
         "failed service error InternalError",
         "",
         {{initiation, error(500, "InternalError")}}},
        {"initiation slowed down",
         "finished",
         expected,
         {{[&](const auto& r) { return initiation(r) && r.sequence == 0; },
           error(503, "SlowDown")}}},
        // Part 1 waits a second for its retry, which must never come.
        {"part and abort refused",
         "failed service error InvalidPart",
         "",
         {{part('1'), error(503, "SlowDown").header("Retry-After", "1")},
          {part('2'), error(400, "InvalidPart")},
          {method("DELETE"), error(500, "InternalError")}}},
        {"file replaced", "failed local file error FileChanged", "", {{replaceFile, {}}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(source, std::ios::binary) << content.substr(0, c.size);
        FaultServer server(multipartService(c.rules));
        auto put = pointedAt(S3ObjectRequest::PUTRequestForFile(source, "b", "k"), server.host());
        put->addRequestHeader("Expect", "100-continue");
        EXPECT_EQ(RequestWatch(*put).run(*put), c.outcome);
        EXPECT_EQ(put->etag(), c.etag);
        std::this_thread::sleep_for(c.outcome == "finished" ? 0s : 1200ms);  // retries due
        const auto served = server.requests();
        const auto count = [&](const Which& which) {
            return std::count_if(served.begin(), served.end(), which);
        };
        const bool uploading = count(initiation) > 0 && served.size() > 1;
        EXPECT_EQ(count(method("DELETE")) > 0, c.outcome != "finished" && uploading);
        EXPECT_TRUE(!uploading || c.outcome == "finished" || served.back().method == "DELETE");
        EXPECT_EQ(count(initiation), c.size < (5u << 20) ? 0 : c.name.ends_with("down") ? 2 : 1);
        if (c.name.starts_with("part")) {
            EXPECT_NE(put->error()->message.find("could not be aborted"), std::string::npos);
        }
        for (const auto& r : served) {
            EXPECT_EQ(headerOf(r.headers, "Expect"), r.method == "PUT" ? "100-continue" : "")
                << r.method << " " << r.target;
        }
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
