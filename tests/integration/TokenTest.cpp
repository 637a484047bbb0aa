// Futures and awaitables against RGW: every operation through both tokens, ten thousand awaits at
// once, and coroutines that are destroyed, cancelled or throw while the library holds them.
#include <gtest/gtest.h>

#include <atomic>
#include <coroutine>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "integration/Blocking.hpp"
#include "quilo/quilo.hpp"
#include "support/FaultProxy.hpp"

namespace quilo {
namespace {

// A coroutine that starts at once and frees itself at its end.
struct Detached {
    struct promise_type {
        Detached get_return_object() noexcept { return {}; }
        std::suspend_never initial_suspend() noexcept { return {}; }
        std::suspend_never final_suspend() noexcept { return {}; }
        void return_void() noexcept {}
        void unhandled_exception() noexcept { std::terminate(); }
    };
};

// A coroutine that the test destroys: it starts at once, stays at its end, and lets what its
// body throws out to whoever resumed it.
struct Owned {
    struct promise_type {
        Owned get_return_object() noexcept {
            return {std::coroutine_handle<promise_type>::from_promise(*this)};
        }
        std::suspend_never initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        void return_void() noexcept {}
        void unhandled_exception() { throw; }
    };
    std::coroutine_handle<promise_type> handle;
};

// What a token's result will give, as a future; an awaitable is awaited in a coroutine.
template <class R>
std::future<std::shared_ptr<R>> later(std::future<std::shared_ptr<R>> future) {
    return future;
}
template <class R>
std::future<std::shared_ptr<R>> later(Awaitable<R> awaitable) {
    auto ended = std::make_shared<std::promise<std::shared_ptr<R>>>();
    [](Awaitable<R> awaited, auto ended) -> Detached { ended->set_value(co_await awaited); }(
                                             std::move(awaitable), ended);
    return ended->get_future();
}
template <class Result>
auto end(Result result) {
    return later(std::move(result)).get();
}

template <class R>
::testing::AssertionResult ok(const std::shared_ptr<R>& request) {
    if (request && !request->error())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << (request ? request->error()->description() : "none");
}

template <class How>
class Tokens : public ::testing::Test {
  protected:
    test::Scratch s_{test::rgw()};
    const How how_{};
};
using BothTokens = ::testing::Types<use_future_t, use_awaitable_t>;
TYPED_TEST_SUITE(Tokens, BothTokens);

// Each operation in turn, typed or with its map, its result read from the request the token
// gives; a failure comes the same way. Each typed call must reach its own operation.
TYPED_TEST(Tokens, EveryOperationGivesItsTypedRequest) {
    test::Scratch& s = this->s_;
    Quilo& c = s.client;
    const auto how = this->how_;
    const auto bucket = s.bucket(), other = test::uniqueBucketName("tokens");
    const auto copy = (s.dir / "down").string();
    const ObjectArgs object{.bucket = bucket, .key = "k"};
    ASSERT_TRUE(ok(end(c.createBucket(other, how))));
    s.buckets.push_back(other);
    const auto up =
        end(c.uploadObject(UploadObjectArgs{.filePath = s.file("up", "the bytes"),
                                            .bucket = bucket,
                                            .key = "k",
                                            .accessPolicy = AccessPolicy::access_public_read},
                           how));
    ASSERT_TRUE(ok(up));
    const auto down = end(c.downloadObject(
        DownloadObjectArgs{.bucket = bucket, .key = "k", .downloadDestinationPath = copy}, how));
    EXPECT_TRUE(ok(down) && down->etag() == up->etag() && test::readFile(copy) == "the bytes");
    const auto copied = end(c.copyObject(
        CopyObjectArgs{.srcBucket = bucket, .srcKey = "k", .desBucket = other, .desKey = "k2"},
        how));
    EXPECT_TRUE(ok(copied) && copied->etag() == up->etag());
    const StringMap meta{{"owner", "anna"}};
    EXPECT_TRUE(ok(
        end(c.setObjectMeta(SetObjectMetaArgs{.bucket = bucket, .key = "k", .meta = meta}, how))));
    const auto head = end(c.getObjectMeta(GetObjectMetaArgs{.bucket = bucket, .key = "k"}, how));
    EXPECT_TRUE(ok(head) && head->metadata() == meta);
    const auto objectAcl = end(c.getObjectAcl(object, how));
    ASSERT_TRUE(ok(objectAcl) && objectAcl->accessControlPolicy());
    // The owner's grant and the canned one the typed upload asked for.
    EXPECT_EQ(objectAcl->accessControlPolicy()->grants.size(), 2u);
    const AclMap owner{{"FULL_CONTROL", {"id=" + s.server.userId}}};
    EXPECT_TRUE(
        ok(end(c.setObjectAcl(SetObjectAclArgs{.bucket = bucket, .key = "k", .acl = owner}, how))));
    const auto bucketAcl = end(c.getBucketAcl(bucket, how));
    ASSERT_TRUE(ok(bucketAcl) && bucketAcl->accessControlPolicy());
    EXPECT_EQ(bucketAcl->accessControlPolicy()->owner.id, s.server.userId);
    EXPECT_TRUE(ok(end(c.setBucketAcl(SetBucketAclArgs{.bucket = bucket, .acl = owner}, how))));
    EXPECT_TRUE(ok(end(c.getBucketMeta(GetBucketMetaArgs{.bucket = bucket}, how))));
    const auto listed = end(c.listObjects(ListObjectsArgs{.bucket = bucket}, how));
    ASSERT_TRUE(ok(listed) && listed->objects().size() == 1);
    EXPECT_EQ(listed->objects()[0].key, "k");
    const auto all = end(c.listBuckets(how));
    EXPECT_TRUE(ok(all) && std::ranges::count(all->buckets(), other, &S3Bucket::name) == 1);
    const auto deleted =
        end(c.deleteObjects(DeleteObjectsArgs{.bucket = other, .keys = StringList{"k2"}}, how));
    EXPECT_TRUE(ok(deleted) && deleted->deleteFailures().empty());
    EXPECT_TRUE(ok(end(c.deleteObject(StringMap{{"bucket", bucket}, {"key", "k"}}, how))));
    EXPECT_TRUE(ok(end(c.deleteBucket(other, how))));
    s.buckets.pop_back();
    const auto gone = end(c.getObjectMeta(GetObjectMetaArgs{.bucket = bucket, .key = "k"}, how));
    ASSERT_TRUE(gone && gone->error());
    EXPECT_EQ(gone->error()->httpStatus, 404);

    // Versions, tags, configurations, uploads in progress and locks: each reads back what the
    // call before it set.
    const auto locked = test::uniqueBucketName("locked");
    const StringMap tags{{"team", "blue"}};
    ASSERT_TRUE(ok(end(c.setBucketVersioning(
        SetBucketVersioningArgs{.bucket = bucket, .status = "Enabled"}, how))));
    const auto versioning = end(c.getBucketVersioning(bucket, how));
    EXPECT_TRUE(ok(versioning) && versioning->versioningStatus() == "Enabled");
    const UploadObjectArgs upload{.filePath = s.file("v", "one"), .bucket = bucket, .key = "k"};
    ASSERT_TRUE(ok(end(c.uploadObject(upload, how))) && ok(end(c.uploadObject(upload, how))));
    const auto v2 =
        end(c.listObjectsV2(ListObjectsV2Args{.bucket = bucket, .fetchOwner = true}, how));
    ASSERT_TRUE(ok(v2) && v2->objects().size() == 1);
    EXPECT_EQ(v2->objects()[0].owner.value_or(S3Owner{}).id, s.server.userId);
    const auto versions = end(c.listObjectVersions(ListObjectVersionsArgs{.bucket = bucket}, how));
    EXPECT_TRUE(ok(versions) && versions->versions().size() == 2);

    const VersionArgs latest{.bucket = bucket, .key = "k"};
    EXPECT_TRUE(ok(end(c.setObjectTagging(
        SetObjectTaggingArgs{.bucket = bucket, .key = "k", .tags = tags}, how))));
    const auto objectTags = end(c.getObjectTagging(latest, how));
    EXPECT_TRUE(ok(objectTags) && objectTags->tags() == tags);
    EXPECT_TRUE(ok(end(c.deleteObjectTagging(latest, how))));
    EXPECT_TRUE(
        ok(end(c.setBucketTagging(SetBucketTaggingArgs{.bucket = bucket, .tags = tags}, how))));
    const auto bucketTags = end(c.getBucketTagging(bucket, how));
    EXPECT_TRUE(ok(bucketTags) && bucketTags->tags() == tags);
    EXPECT_TRUE(ok(end(c.deleteBucketTagging(bucket, how))));
    EXPECT_FALSE(ok(end(c.getBucketTagging(bucket, how))));

    const std::string policy =
        R"({"Version":"2012-10-17","Statement":[{"Effect":"Allow","Principal":"*",)"
        R"("Action":["s3:GetObject"],"Resource":["arn:aws:s3:::)" +
        bucket + R"(/*"]}]})";
    EXPECT_TRUE(
        ok(end(c.setBucketPolicy(SetBucketPolicyArgs{.bucket = bucket, .policy = policy}, how))));
    const auto readPolicy = end(c.getBucketPolicy(bucket, how));
    EXPECT_TRUE(ok(readPolicy) && readPolicy->policy() == policy);
    EXPECT_TRUE(ok(end(c.deleteBucketPolicy(bucket, how))));
    const S3LifecycleConfiguration lifecycle{
        {{.id = "logs", .prefix = "logs/", .expirationDays = 3}}};
    EXPECT_TRUE(ok(end(c.setBucketLifecycle(
        SetBucketLifecycleArgs{.bucket = bucket, .lifecycle = lifecycle}, how))));
    const auto readLifecycle = end(c.getBucketLifecycle(bucket, how));
    EXPECT_TRUE(ok(readLifecycle) && readLifecycle->lifecycle() == lifecycle);
    EXPECT_TRUE(ok(end(c.deleteBucketLifecycle(bucket, how))));
    const S3CorsConfiguration cors{{{.allowedMethods = {"GET"}, .allowedOrigins = {"*"}}}};
    EXPECT_TRUE(ok(end(c.setBucketCors(SetBucketCorsArgs{.bucket = bucket, .cors = cors}, how))));
    const auto readCors = end(c.getBucketCors(bucket, how));
    EXPECT_TRUE(ok(readCors) && readCors->cors() == cors);
    EXPECT_TRUE(ok(end(c.deleteBucketCors(bucket, how))));

    const auto uploadId =
        s.s3api("create-multipart-upload", {"--key", "mp", "--query", "UploadId"});
    const auto uploads =
        end(c.listMultipartUploads(ListMultipartUploadsArgs{.bucket = bucket}, how));
    EXPECT_TRUE(ok(uploads) && uploads->uploads().size() == 1 &&
                uploads->uploads()[0].uploadId == uploadId);
    const ListPartsArgs parts{.bucket = bucket, .key = "mp", .uploadId = uploadId};
    const auto partsListed = end(c.listParts(parts, how));
    EXPECT_TRUE(ok(partsListed) && partsListed->parts().empty());
    EXPECT_TRUE(ok(end(c.abortMultipartUpload(
        AbortMultipartUploadArgs{.bucket = bucket, .key = "mp", .uploadId = uploadId}, how))));
    EXPECT_FALSE(ok(end(c.listParts(parts, how))));

    ASSERT_TRUE(ok(end(c.createBucketWithObjectLock(locked, how))));
    s.buckets.push_back(locked);
    EXPECT_TRUE(ok(end(c.setBucketObjectLock(
        SetBucketObjectLockArgs{.bucket = locked, .mode = "GOVERNANCE", .days = 1}, how))));
    const auto lock = end(c.getBucketObjectLock(locked, how));
    EXPECT_TRUE(ok(lock) &&
                lock->objectLock() == (S3ObjectLockConfiguration{.mode = "GOVERNANCE", .days = 1}));
    ASSERT_TRUE(ok(end(c.uploadObject(
        UploadObjectArgs{.filePath = s.file("l", "kept"), .bucket = locked, .key = "k"}, how))));
    const VersionArgs kept{.bucket = locked, .key = "k"};
    EXPECT_TRUE(ok(
        end(c.setObjectRetention(SetObjectRetentionArgs{.bucket = locked,
                                                        .key = "k",
                                                        .mode = "GOVERNANCE",
                                                        .retainUntilDate = "2035-06-01T12:00:00Z"},
                                 how))));
    const auto retention = end(c.getObjectRetention(kept, how));
    EXPECT_TRUE(ok(retention) && retention->retention().retainUntilDate.starts_with("2035-06-01"));
    for (const bool on : {true, false}) {
        EXPECT_TRUE(ok(end(c.setObjectLegalHold(
            SetObjectLegalHoldArgs{.bucket = locked, .key = "k", .legalHold = on}, how))));
        const auto hold = end(c.getObjectLegalHold(kept, how));
        EXPECT_TRUE(ok(hold) && hold->legalHold() == on);
    }
}

// At one part at a time, an upload in parts passes through every part: its count is that of the
// parts done plus the bytes of the one on the way, never a part's worth short. Its journal is
// there while the parts go, and gone once the object is.
TYPED_TEST(Tokens, AnUploadInPartsCountsThePartsAlreadySent) {
    constexpr std::uint64_t size = 16 << 20, part = 5 << 20;
    S3ObjectRequest::setMultipartThreshold(part);  // all three put back by the scratch
    S3ObjectRequest::setMultipartPartSize(part);
    S3ObjectRequest::setMultipartConcurrency(1);
    std::mutex mutex;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> reports;
    const auto journal = this->s_.dir / "journal";
    bool journaled = false;
    const TokenOptions options{.progress = [&](std::uint64_t sent, std::uint64_t total) {
        std::lock_guard lock(mutex);
        reports.emplace_back(sent, total);
        journaled = journaled || std::filesystem::exists(journal);
    }};
    const UploadObjectArgs args{.filePath = this->s_.file("parts", test::randomBytes(size)),
                                .bucket = this->s_.bucket(),
                                .key = "p",
                                .resumeJournal = journal.string()};
    const auto up = end(this->s_.client.uploadObject(args, this->how_.with(options)));
    ASSERT_TRUE(ok(up));
    EXPECT_TRUE(journaled && !std::filesystem::exists(journal));
    EXPECT_TRUE(up->etag().ends_with("-4")) << up->etag();
    std::lock_guard lock(mutex);
    ASSERT_FALSE(reports.empty());
    std::uint64_t before = 0;
    for (const auto& [sent, total] : reports) {
        EXPECT_EQ(total, size);
        EXPECT_GT(sent, before);
        EXPECT_LT(sent - before, part) << "from " << before << " to " << sent;
        before = sent;
    }
    EXPECT_EQ(before, size);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
constexpr bool kSanitized = __has_feature(address_sanitizer) || __has_feature(thread_sanitizer);
#else
constexpr bool kSanitized = false;
#endif

// A figure of /proc/self/status, in KiB: "VmRSS" now, "VmHWM" the most ever.
std::uint64_t statusKiB(const std::string& field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with(field + ":"))
            return std::stoull(line.substr(field.size() + 1));
    ADD_FAILURE() << "no " << field;
    return 0;
}

// Ten thousand awaits started while the network thread is held, so that all are in flight at
// once: each resumes once, with its answer, in a few KiB each.
TEST(Awaits, TenThousandInFlightAtOnceEndInBoundedMemory) {
    constexpr int kAwaits = 10000;
    test::Scratch s(test::rgw());
    s.client.globleConfig()->insert_or_assign("maxConcurrentOperationCount", std::int64_t{16});
    std::promise<void> opened;
    const auto gate = std::make_shared<std::shared_future<void>>(opened.get_future());
    const auto hold = [gate](const auto&) { gate->wait(); };
    // Admitted first, it holds the network thread from its start on.
    s.client.getBucketMeta(s.bucket(), {.started = hold});

    const auto before = statusKiB("VmRSS");
    std::atomic<int> succeeded = 0, ended = 0;
    std::promise<void> all;
    for (int i = 0; i < kAwaits; ++i) {
        [](Quilo& client, std::string bucket, auto& succeeded, auto& ended, auto& all) -> Detached {
            const auto request = co_await client.getBucketMeta(bucket, use_awaitable);
            succeeded += request->error() ? 0 : 1;
            if (++ended == kAwaits)
                all.set_value();
        }(s.client, s.bucket(), succeeded, ended, all);
    }
    EXPECT_EQ(ended, 0) << "resumed before the network thread was let go";
    opened.set_value();
    ASSERT_EQ(all.get_future().wait_for(std::chrono::minutes(5)), std::future_status::ready);
    EXPECT_EQ(succeeded, kAwaits);
    const auto grown = statusKiB("VmHWM") - before;
    if (!kSanitized) {  // whose shadow memory and quarantine would be counted too
        EXPECT_LT(grown, kAwaits * 4) << "KiB";
    }
}

// Counts what a coroutine does after its await, and throws from there. The awaitable comes in
// as a parameter: destroying a frame that an exception left, clang 14 destroys what its body had
// alive at the last co_await once more.
Owned awaitThenThrow(Awaitable<QuiloBucketRequest> awaited, std::atomic<int>& resumed,
                     std::thread::id& where) {
    co_await awaited;
    where = std::this_thread::get_id();
    ++resumed;
    throw std::runtime_error("the caller's own");
}

// Without an executor a coroutine resumes on the network thread, which survives what the
// coroutine lets out; with one it resumes where the executor runs it, which gets the exception,
// or not at all if it was destroyed before.
TEST(Awaits, ResumeOnTheExecutorOrNotAtAllAndLetUserExceptionsOut) {
    test::Scratch s(test::rgw());
    const struct {
        const char* name;
        bool queued, destroyedFirst;
    } cases[] = {{"network thread", false, false},
                 {"executor", true, false},
                 {"executor, destroyed before it runs", true, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::promise<std::function<void()>> posted;
        std::function<void(std::function<void()>)> executor;  // holds what it is given
        if (c.queued)
            executor = [&posted](std::function<void()> resume) {
                posted.set_value(std::move(resume));
            };
        std::atomic<int> resumed = 0;
        std::thread::id where;
        auto owned = awaitThenThrow(
            s.client.getBucketMeta(s.bucket(), use_awaitable.with({.executor = executor})), resumed,
            where);
        if (c.queued) {
            const auto resume = posted.get_future().get();
            if (c.destroyedFirst) {
                owned.handle.destroy();
                EXPECT_NO_THROW(resume());
            } else {
                EXPECT_THROW(resume(), std::runtime_error) << "the exception reaches the executor";
            }
        } else {
            ASSERT_TRUE(test::eventually([&] { return resumed == 1; }));
        }
        // The network thread still serves; this answer comes after the resumption that ran
        // there has left it, so the frame is the test's to destroy.
        EXPECT_TRUE(ok(end(s.client.getBucketMeta(s.bucket(), use_future))));
        EXPECT_EQ(resumed, c.destroyedFirst ? 0 : 1);
        if (!c.destroyedFirst) {
            EXPECT_EQ(where == std::this_thread::get_id(), c.queued);
            owned.handle.destroy();
        }
    }
}

// RGW behind a proxy that answers nothing: an operation there ends only when it is cancelled.
class Held : public ::testing::Test {
  protected:
    void SetUp() override {
        test::useServer(server_);
        S3Request::setDefaultHost(proxy_.host());
    }
    bool arrived(int count) const {
        return test::eventually([&] { return arrived_ >= count; });
    }
    // No request waits or runs any more: each has ended, its hooks called.
    static bool allEnded() {
        const auto& queue = HTTPRequest::sharedQueue();
        return test::eventually([&] { return queue.runningCount() + queue.waitingCount() == 0; });
    }

    test::SharedStateGuard restore_;
    const test::Server server_ = test::rgw();
    std::atomic<int> arrived_ = 0;
    test::FaultProxy proxy_{server_.host, [this](const auto&) {
                                ++arrived_;
                                return test::ProxyFault::stall;
                            }};
};

// A stop through the token cancels the operation, whether it waits at the proxy or was asked
// for before the call, when nothing is sent; the callables take the same token.
TEST_F(Held, AStopCancelsTheOperationInEveryForm) {
    using Ended = std::future<std::shared_ptr<QuiloBucketRequest>>;
    Quilo& client = *Quilo::sharedInstance();
    const std::pair<const char*, std::function<Ended(std::stop_token)>> forms[] = {
        {"future",
         [&](std::stop_token stop) {
             return later(client.getBucketMeta("b", use_future.with({.stopToken = stop})));
         }},
        {"awaitable",
         [&](std::stop_token stop) {
             return later(client.getBucketMeta("b", use_awaitable.with({.stopToken = stop})));
         }},
        {"callables",
         [&](std::stop_token stop) {
             auto ended = std::make_shared<std::promise<std::shared_ptr<QuiloBucketRequest>>>();
             const auto end = [ended](const auto& request) { ended->set_value(request); };
             client.getBucketMeta("b", {.finished = end, .failed = end, .stopToken = stop});
             return ended->get_future();
         }},
    };
    int sent = 0;
    for (const auto& [name, start] : forms) {
        for (const bool beforeTheCall : {false, true}) {
            SCOPED_TRACE(std::string(name) + (beforeTheCall ? ", before the call" : ", waiting"));
            std::stop_source stop;
            if (beforeTheCall)
                stop.request_stop();
            auto ended = start(stop.get_token());
            if (!beforeTheCall) {
                ASSERT_TRUE(arrived(++sent));
                stop.request_stop();
            }
            ASSERT_EQ(ended.wait_for(std::chrono::seconds(30)), std::future_status::ready);
            const auto request = ended.get();
            ASSERT_TRUE(request && request->error());
            EXPECT_EQ(request->error()->kind, ErrorKind::cancelled);
        }
    }
    EXPECT_TRUE(allEnded());
    EXPECT_EQ(arrived_, sent) << "a request stopped before the call went out";
}

// The frame of a coroutine destroyed while it awaits is released once and never resumed; the
// request it waited for is cancelled.
TEST_F(Held, ACoroutineDestroyedWhileItAwaitsIsNeverResumed) {
    struct Counted {
        std::atomic<int>& count;
        ~Counted() { ++count; }
    };
    std::atomic<int> resumed = 0, released = 0;
    auto owned = [](Quilo& client, std::atomic<int>& resumed, std::atomic<int>& released) -> Owned {
        Counted frame{released};
        co_await client.getBucketMeta("b", use_awaitable);
        ++resumed;
    }(*Quilo::sharedInstance(), resumed, released);
    ASSERT_TRUE(arrived(1));
    owned.handle.destroy();
    EXPECT_EQ(released, 1);
    EXPECT_TRUE(allEnded()) << "the request was not cancelled";
    EXPECT_EQ(resumed, 0);
}

}  // namespace
}  // namespace quilo
