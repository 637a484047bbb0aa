#include "LibraryJobs.hpp"

#include <condition_variable>
#include <coroutine>
#include <cstdio>
#include <future>
#include <iostream>
#include <mutex>
#include <optional>
#include <vector>

#include <quilo/quilo.hpp>

namespace bench {

namespace {

void configure(const Settings& s) {
    quilo::S3Request::setDefaultHost(s.endpoint);
    quilo::S3Request::setDefaultRegion(s.region);
    quilo::Quilo::GlobalConfig(s.accessKey, s.secretKey, false, s.concurrency);
}

// Waits for a number of requests, started on this thread and ended on the library's.
class Countdown {
  public:
    explicit Countdown(std::size_t count) : remaining_(count) {}
    void done(bool ok) {
        std::lock_guard lock(mutex_);
        failures_ += ok ? 0 : 1;
        if (--remaining_ == 0) {
            ended_.notify_one();
        }
    }
    // True when every request succeeded.
    bool wait() {
        std::unique_lock lock(mutex_);
        ended_.wait(lock, [this] { return remaining_ == 0; });
        return failures_ == 0;
    }

  private:
    std::mutex mutex_;
    std::condition_variable ended_;
    std::size_t remaining_, failures_ = 0;
};

template <class Request>
quilo::Callbacks<Request> countedBy(Countdown& countdown) {
    return {.finished = [&](const auto&) { countdown.done(true); },
            .failed =
                [&](const auto& request) {
                    std::cerr << request->error()->description() << '\n';
                    countdown.done(false);
                }};
}

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

bool succeeded(const std::shared_ptr<quilo::QuiloBucketRequest>& request) {
    if (request->error()) {
        std::cerr << request->error()->description() << '\n';
    }
    return !request->error();
}

Detached awaitHead(quilo::Quilo& client, const std::string& bucket, Countdown& countdown) {
    countdown.done(succeeded(co_await client.getBucketMeta(bucket, quilo::use_awaitable)));
}

// Every request started at once, the queue admitting its limit, through the form the job names:
// the callables (heads), use_future or use_awaitable.
int heads(const Settings& s, const std::string& bucket, const std::string& how) {
    const auto count = static_cast<std::size_t>(s.requests);
    auto& client = *quilo::Quilo::sharedInstance();
    if (how == "heads-future") {
        std::vector<std::future<std::shared_ptr<quilo::QuiloBucketRequest>>> ends;
        ends.reserve(count);
        for (std::size_t i = 0; i < count; ++i) {
            ends.push_back(client.getBucketMeta(bucket, quilo::use_future));
        }
        bool ok = true;
        for (auto& end : ends) {
            ok = succeeded(end.get()) && ok;
        }
        return ok ? 0 : 1;
    }
    Countdown countdown(count);
    for (std::size_t i = 0; i < count; ++i) {
        if (how == "heads-awaitable") {
            awaitHead(client, bucket, countdown);
        } else {
            client.getBucketMeta(bucket, countedBy<quilo::QuiloBucketRequest>(countdown));
        }
    }
    return countdown.wait() ? 0 : 1;
}

int transfer(const LibraryJob& job) {
    if (job.threshold != "default") {
        quilo::S3ObjectRequest::setMultipartThreshold(std::stoull(job.threshold));
        quilo::S3ObjectRequest::setRangeThreshold(std::stoull(job.threshold));
    }
    quilo::S3ObjectRequest::setVerifiesChecksums(job.verify);
    Countdown countdown(1);
    const auto counted = countedBy<quilo::QuiloObjectRquest>(countdown);
    const quilo::TransferCallbacks<quilo::QuiloObjectRquest> callbacks{.finished = counted.finished,
                                                                       .failed = counted.failed};
    auto client = quilo::Quilo::sharedInstance();
    if (job.name == "upload") {
        client->uploadObject({{"filePath", job.file}, {"bucket", job.bucket}, {"key", job.key}},
                             callbacks);
    } else {
        client->downloadObject(
            {{"bucket", job.bucket}, {"key", job.key}, {"downloadDestinationPath", job.file}},
            callbacks);
    }
    return countdown.wait() ? 0 : 1;
}

// Every key of the bucket, all pages.
std::optional<std::vector<std::string>> listAll(const std::string& bucket) {
    std::vector<std::string> keys;
    for (const auto& page :
         quilo::ObjectPages(*quilo::Quilo::sharedInstance(), {.bucket = bucket})) {
        if (page->error()) {
            return std::nullopt;
        }
        for (const auto& object : page->objects()) {
            keys.push_back(object.key);
        }
    }
    return keys;
}

// Deletes every object and then the bucket; prints how many objects there were.
int purge(const std::string& bucket) {
    const auto keys = listAll(bucket);
    if (!keys) {
        return 1;
    }
    Countdown deletes(keys->size() + 1);
    auto client = quilo::Quilo::sharedInstance();
    for (const auto& key : *keys) {
        client->deleteObject({{"bucket", bucket}, {"key", key}},
                             countedBy<quilo::QuiloObjectRquest>(deletes));
    }
    deletes.done(true);  // so that an empty bucket does not wait forever
    if (!deletes.wait()) {
        return 1;
    }
    Countdown removal(1);
    client->deleteBucket(bucket, countedBy<quilo::QuiloBucketRequest>(removal));
    std::printf("%zu\n", keys->size());
    return removal.wait() ? 0 : 1;
}

}  // namespace

int runLibraryJob(const Settings& s) {
    configure(s);
    const LibraryJob& job = *s.job;
    if (job.name.starts_with("heads")) {
        return heads(s, job.bucket, job.name);
    }
    if (job.name == "upload" || job.name == "download") {
        return transfer(job);
    }
    if (job.name == "purge") {
        return purge(job.bucket);
    }
    if (job.name == "count") {
        const auto keys = listAll(job.bucket);
        std::printf("%zu\n", keys ? keys->size() : 0);
        return keys ? 0 : 1;
    }
    std::cerr << "unknown job " << job.name << '\n';
    return 2;
}

}  // namespace bench
