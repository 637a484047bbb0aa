// Futures and awaitables against RGW: every operation through both tokens, ten thousand awaits at
// once, and coroutines that are destroyed, cancelled or throw while the library holds them.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <coroutine>
#include <deque>
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

constexpr std::uint64_t kMiB = 1 << 20;

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

// Runs an operation through one token and waits for its request on the test's thread.
struct Via {
    bool awaitable;

    template <class Start>
    auto operator()(Start start) const {
        if (!awaitable)
            return start(use_future).get();
        std::promise<decltype(start(use_future).get())> ended;
        [](Start start, auto& ended) -> Detached {
            ended.set_value(co_await start(use_awaitable));
        }(start, ended);
        return ended.get_future().get();
    }
};

template <class R>
::testing::AssertionResult ok(const std::shared_ptr<R>& request) {
    if (request && !request->error())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << (request ? request->error()->description() : "none");
}

// An executor of the test's own: what it is given waits until the test runs it.
class Queue {
  public:
    std::function<void(std::function<void()>)> executor() {
        return [this](std::function<void()> function) {
            std::lock_guard lock(mutex_);
            waiting_.push_back(std::move(function));
            changed_.notify_all();
        };
    }
    bool waitFor(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(30),
                                 [&] { return waiting_.size() >= count; });
    }
    // Runs what waits; the number of functions that threw.
    int run() {
        std::deque<std::function<void()>> now;
        {
            std::lock_guard lock(mutex_);
            now.swap(waiting_);
        }
        int threw = 0;
        for (auto& function : now) {
            try {
                function();
            } catch (const std::runtime_error&) {
                ++threw;
            }
        }
        return threw;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> waiting_;
};

class Tokens : public ::testing::TestWithParam<bool> {
  protected:
    test::Scratch s_{test::rgw()};
    const Via via_{GetParam()};
};

// Each operation in turn, typed or with its map, its result read from the request the token
// gives.
TEST_P(Tokens, EveryOperationGivesItsTypedRequest) {
    Quilo& c = s_.client;
    const auto bucket = s_.bucket(), other = test::uniqueBucketName("tokens");
    const auto file = s_.file("up", "the bytes"), copy = (s_.dir / "down").string();
    const ObjectArgs object{.bucket = bucket, .key = "k"};
    std::string etag;
    const std::vector<std::pair<const char*, std::function<void()>>> steps = {
        {"createBucket",
         [&] {
             EXPECT_TRUE(ok(via_([&](auto how) { return c.createBucket(other, how); })));
             s_.buckets.push_back(other);
         }},
        {"uploadObject",
         [&] {
             const auto up = via_([&](auto how) {
                 return c.uploadObject(
                     UploadObjectArgs{.filePath = file,
                                      .bucket = bucket,
                                      .key = "k",
                                      .accessPolicy = AccessPolicy::access_public_read},
                     how);
             });
             ASSERT_TRUE(ok(up));
             etag = up->etag();
         }},
        {"downloadObject",
         [&] {
             const auto down = via_([&](auto how) {
                 return c.downloadObject(
                     DownloadObjectArgs{
                         .bucket = bucket, .key = "k", .downloadDestinationPath = copy},
                     how);
             });
             EXPECT_TRUE(ok(down) && down->etag() == etag && test::readFile(copy) == "the bytes");
         }},
        {"copyObject",
         [&] {
             const auto copied = via_([&](auto how) {
                 return c.copyObject(
                     CopyObjectArgs{
                         .srcBucket = bucket, .srcKey = "k", .desBucket = other, .desKey = "k2"},
                     how);
             });
             EXPECT_TRUE(ok(copied) && copied->etag() == etag);
         }},
        {"setObjectMeta and getObjectMeta",
         [&] {
             EXPECT_TRUE(ok(via_([&](auto how) {
                 return c.setObjectMeta(
                     SetObjectMetaArgs{
                         .bucket = bucket, .key = "k", .meta = StringMap{{"owner", "anna"}}},
                     how);
             })));
             const auto meta = via_([&](auto how) { return c.getObjectMeta(object, how); });
             EXPECT_TRUE(ok(meta) && meta->metadata() == StringMap({{"owner", "anna"}}));
         }},
        {"getObjectAcl and setObjectAcl",
         [&] {
             const auto read = via_([&](auto how) { return c.getObjectAcl(object, how); });
             ASSERT_TRUE(ok(read) && read->accessControlPolicy());
             // The canned policy the typed upload asked for.
             EXPECT_EQ(read->accessControlPolicy()->grants.size(), 2u);
             const AclMap owner{{"FULL_CONTROL", {"id=" + s_.server.userId}}};
             EXPECT_TRUE(ok(via_([&](auto how) {
                 return c.setObjectAcl(SetObjectAclArgs{.bucket = bucket, .key = "k", .acl = owner},
                                       how);
             })));
         }},
        {"getBucketAcl and setBucketAcl",
         [&] {
             const auto read = via_([&](auto how) { return c.getBucketAcl(bucket, how); });
             ASSERT_TRUE(ok(read) && read->accessControlPolicy());
             EXPECT_EQ(read->accessControlPolicy()->owner.id, s_.server.userId);
             const auto acl = toAclMap(*read->accessControlPolicy());
             EXPECT_TRUE(ok(via_([&](auto how) {
                 return c.setBucketAcl(SetBucketAclArgs{.bucket = bucket, .acl = acl}, how);
             })));
         }},
        {"getBucketMeta",
         [&] {
             EXPECT_TRUE(ok(via_([&](auto how) {
                 return c.getBucketMeta(GetBucketMetaArgs{.bucket = bucket}, how);
             })));
         }},
        {"listObjects and listBuckets",
         [&] {
             const auto listed = via_(
                 [&](auto how) { return c.listObjects(ListObjectsArgs{.bucket = bucket}, how); });
             ASSERT_TRUE(ok(listed));
             ASSERT_EQ(listed->objects().size(), 1u);
             EXPECT_EQ(listed->objects()[0].key, "k");
             const auto all = via_([&](auto how) { return c.listBuckets(how); });
             ASSERT_TRUE(ok(all));
             EXPECT_EQ(std::count_if(all->buckets().begin(), all->buckets().end(),
                                     [&](const auto& each) { return each.name == other; }),
                       1);
         }},
        {"deleteObjects, deleteObject and deleteBucket",
         [&] {
             const auto deleted = via_([&](auto how) {
                 return c.deleteObjects(
                     DeleteObjectsArgs{.bucket = other, .keys = StringList{"k2"}}, how);
             });
             EXPECT_TRUE(ok(deleted) && deleted->deleteFailures().empty());
             EXPECT_TRUE(ok(via_([&](auto how) {
                 return c.deleteObject(StringMap{{"bucket", bucket}, {"key", "k"}}, how);
             })));
             EXPECT_TRUE(ok(via_([&](auto how) { return c.deleteBucket(other, how); })));
             s_.buckets.pop_back();
         }},
        {"a failure",
         [&] {
             const auto gone = via_([&](auto how) { return c.getObjectMeta(object, how); });
             ASSERT_TRUE(gone && gone->error());
             EXPECT_EQ(gone->error()->httpStatus, 404);
         }},
    };
    for (const auto& [name, step] : steps) {
        SCOPED_TRACE(name);
        step();
    }
}

// At one part at a time, an upload in parts passes through every part: its count is that of the
// parts done plus the bytes of the one on the way, never a part's worth short.
TEST_P(Tokens, AnUploadInPartsCountsThePartsAlreadySent) {
    constexpr std::uint64_t size = 16 * kMiB, part = 5 * kMiB;
    S3ObjectRequest::setMultipartThreshold(part);  // all three put back by the scratch
    S3ObjectRequest::setMultipartPartSize(part);
    S3ObjectRequest::setMultipartConcurrency(1);
    std::mutex mutex;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> reports;
    const TokenOptions options{.progress = [&](std::uint64_t sent, std::uint64_t total) {
        std::lock_guard lock(mutex);
        reports.emplace_back(sent, total);
    }};
    const auto file = s_.file("parts", test::randomBytes(size));
    const auto up = via_([&](auto how) {
        return s_.client.uploadObject(
            UploadObjectArgs{.filePath = file, .bucket = s_.bucket(), .key = "p"},
            how.with(options));
    });
    ASSERT_TRUE(ok(up));
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

INSTANTIATE_TEST_SUITE_P(Both, Tokens, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "awaitable" : "future"; });

// The pages of a listing, from a range and from awaits, as many as the keys need; a listing that
// fails gives its failed page and ends.
TEST(Pages, EveryPageComesOnceInOrder) {
    test::Scratch s(test::rgw());
    std::vector<std::string> keys;
    for (const auto* key : {"a", "b/1", "b/2", "c", "d"}) {
        ASSERT_TRUE(test::upload(s.client, s.bucket(), key, s.file("f", key)).ok());
        keys.push_back(key);
    }
    for (const bool awaitable : {false, true}) {
        for (const auto& bucket : {s.bucket(), test::uniqueBucketName("absent")}) {
            SCOPED_TRACE(std::string(awaitable ? "awaited, " : "range, ") + bucket);
            const ListObjectsArgs args{.bucket = bucket, .maxKeys = 2};
            std::vector<ObjectPages::Page> pages;
            if (awaitable) {
                std::promise<void> done;
                [](ObjectPages walk, auto& pages, auto& done) -> Detached {
                    while (auto page = co_await walk.next(use_awaitable))
                        pages.push_back(page);
                    done.set_value();
                }(ObjectPages(s.client, args), pages, done);
                done.get_future().get();
            } else {
                for (const auto& page : ObjectPages(s.client, args))
                    pages.push_back(page);
            }
            const bool absent = bucket != s.bucket();
            ASSERT_EQ(pages.size(), absent ? 1u : 3u);
            std::vector<std::string> listed;
            for (const auto& page : pages)
                for (const auto& object : page->objects())
                    listed.push_back(object.key);
            EXPECT_EQ(listed, absent ? std::vector<std::string>{} : keys);
            EXPECT_EQ(pages.back()->error().has_value(), absent);
        }
    }
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
    s.client.getBucketMeta(s.bucket(), {.finished = hold, .failed = hold});

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

// Counts what a coroutine does after its await, and throws from there.
Owned awaitThenThrow(Quilo& client, std::string bucket, TokenOptions options,
                     std::atomic<int>& resumed, std::thread::id& where) {
    co_await client.getBucketMeta(bucket, use_awaitable.with(std::move(options)));
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
        Queue queue;
        std::atomic<int> resumed = 0;
        std::thread::id where;
        auto owned =
            awaitThenThrow(s.client, s.bucket(),
                           {.executor = c.queued ? queue.executor() : nullptr}, resumed, where);
        if (c.queued) {
            ASSERT_TRUE(queue.waitFor(1));
            if (c.destroyedFirst)
                owned.handle.destroy();
            EXPECT_EQ(queue.run(), c.destroyedFirst ? 0 : 1) << "exceptions out of the executor";
        }
        // The network thread still serves, after whatever ran there.
        EXPECT_TRUE(ok(s.client.getBucketMeta(s.bucket(), use_future).get()));
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
             return client.getBucketMeta("b", use_future.with({.stopToken = stop}));
         }},
        {"awaitable",
         [&](std::stop_token stop) {
             auto ended = std::make_shared<std::promise<std::shared_ptr<QuiloBucketRequest>>>();
             // Named outside the co_await: GCC 12 destroys an aggregate made inside one twice.
             [](Quilo& client, TokenWith<use_awaitable_t> token, auto ended) -> Detached {
                 ended->set_value(co_await client.getBucketMeta("b", token));
             }(client, use_awaitable.with({.stopToken = stop}), ended);
             return ended->get_future();
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
