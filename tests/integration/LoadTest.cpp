// Mixed requests at the queue's limit against RGW, through a proxy that breaks a few of them;
// the bucket is then read back with awscli, straight from the gateway.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "integration/Blocking.hpp"
#include "quilo/quilo.hpp"
#include "support/FaultProxy.hpp"
#include "support/Servers.hpp"
#include "support/SharedState.hpp"

namespace quilo {
namespace {

namespace fs = std::filesystem;

constexpr int kRequests = 2000;
constexpr int kConcurrency = 32;

enum Op { put, get, head, list, remove };

// From empty to 16 KiB, from a generator of the key's own.
std::string contentOf(int key) {
    return test::randomBytes(key % 97 == 0 ? 0 : 1 + key * 7919 % 16384, key);
}

// What one request was and what came of it, written by its callables.
struct Record {
    Op op = put;
    int key = -1;
    std::atomic<int> started{0}, finished{0}, failed{0};
    std::optional<Error> error;
};

struct LoadState {
    std::mutex mutex;
    std::condition_variable changed;
    int outstanding = 0, ended = 0;
    std::vector<Record> records = std::vector<Record>(kRequests);
    // Uploaded keys to pick from: even ones are only read and odd ones only deleted, so that no
    // read meets a delete.
    std::vector<int> readable, deletable;
    std::set<int> kept, deleted;  // uploads never chosen for a DELETE; DELETEs that finished
    int nextKey = 0;
};

template <class Set>
Set callablesFor(const std::shared_ptr<LoadState>& run, Record& record) {
    auto ending = [run, &record](bool success) {
        return [run, &record, success](const auto& request) {
            (success ? record.finished : record.failed)++;
            std::lock_guard lock(run->mutex);
            if (!success)
                record.error = request->error();
            if (success && record.op == put) {
                (record.key % 2 ? run->deletable : run->readable).push_back(record.key);
                run->kept.insert(record.key);
            }
            if (success && record.op == remove)
                run->deleted.insert(record.key);
            --run->outstanding;
            ++run->ended;
            run->changed.notify_all();
        };
    };
    return {.started = [&record](const auto&) { ++record.started; },
            .finished = ending(true),
            .failed = ending(false)};
}

// Only the proxy's faults may fail a request, after the retries the library makes on its own.
bool explained(const Error& error) {
    if (error.kind == ErrorKind::service)
        return error.httpStatus == 503;  // SlowDown (a HEAD answer has no body to name it)
    // A reset, or an answer cut short, after which retries stop.
    return error.kind == ErrorKind::transport &&
           (error.httpStatus != 0 || error.code == "ConnectionReset" ||
            error.code == "EmptyResponse");
}

// Under the run's lock: an upload of a new key, or a read, a listing or a delete of an
// uploaded one.
void choose(LoadState& run, std::mt19937& random, Record& record) {
    const auto roll = random() % 100;
    record.op = roll < 40 ? put : roll < 65 ? get : roll < 80 ? head : roll < 85 ? list : remove;
    std::vector<int>& pool = record.op == remove ? run.deletable : run.readable;
    if (record.op == put || (record.op != list && pool.empty())) {
        record.op = put;
        record.key = run.nextKey++;
    } else if (record.op != list) {
        const auto at = pool.begin() + random() % pool.size();
        record.key = *at;
        if (record.op == remove) {
            pool.erase(at);
            run.kept.erase(record.key);
        }
    }
}

class Load : public ::testing::Test {
  protected:
    void TearDown() override { test::aws(server_, {"s3", "rb", "s3://" + bucket_, "--force"}); }

    // Starts request `index`, which `record` describes.
    void start(Quilo& client, const std::shared_ptr<LoadState>& run, Record& record,
               int index) const {
        const std::string name = std::to_string(record.key);
        StringMap object = {{"bucket", bucket_}, {"key", "load/" + name}};
        using Transfer = TransferCallbacks<QuiloObjectRquest>;
        using Plain = Callbacks<QuiloObjectRquest>;
        if (record.op == put) {
            object["filePath"] = dir_.file("up/" + name, contentOf(record.key));
            client.uploadObject(object, callablesFor<Transfer>(run, record));
        } else if (record.op == get) {
            object["downloadDestinationPath"] = dir_.path() / "down" / std::to_string(index);
            client.downloadObject(object, callablesFor<Transfer>(run, record));
        } else if (record.op == head) {
            client.getObjectMeta(object, callablesFor<Plain>(run, record));
        } else if (record.op == remove) {
            client.deleteObject(object, callablesFor<Plain>(run, record));
        } else {
            const ValueMap param{{"bucket", bucket_},
                                 {"maxKeys", 50},
                                 {"prefix", std::string("load/")},
                                 {"delimiter", std::string()},
                                 {"marker", std::string()}};
            client.listObjects(param, callablesFor<Callbacks<QuiloBucketRequest>>(run, record));
        }
    }

    // Each request started and ended once; a failure is one the proxy explains and wrote
    // nothing; a download holds its object's bytes.
    void checkRecords(const LoadState& run) const {
        std::set<Op> done;
        for (std::size_t index = 0; index < run.records.size(); ++index) {
            const Record& record = run.records[index];
            SCOPED_TRACE(std::to_string(record.op) + " load/" + std::to_string(record.key));
            ASSERT_EQ(record.started.load(), 1);
            ASSERT_EQ(record.finished + record.failed, 1);
            const fs::path downloaded = dir_.path() / "down" / std::to_string(index);
            if (record.failed) {
                ASSERT_TRUE(record.error);
                EXPECT_TRUE(explained(*record.error)) << record.error->description();
                EXPECT_FALSE(fs::exists(downloaded)) << "a failed GET wrote " << downloaded;
            } else if (done.insert(record.op); record.op == get) {
                EXPECT_EQ(test::readFile(downloaded), contentOf(record.key));
            }
        }
        EXPECT_EQ(done.size(), 5u) << "some kind of request never finished";
    }

    // The gateway holds every object whose upload finished and that no finished DELETE removed;
    // whatever it holds is one of the run's objects, byte for byte.
    void checkBucket(const LoadState& run) const {
        const auto synced =
            test::aws(server_, {"s3", "cp", "--recursive", "--only-show-errors",
                                "s3://" + bucket_ + "/load/", dir_.path() / "synced"});
        ASSERT_EQ(synced.exitCode, 0) << synced.err;
        std::set<int> held;
        for (const auto& entry : fs::directory_iterator(dir_.path() / "synced")) {
            const int key = std::stoi(entry.path().filename().string());
            held.insert(key);
            EXPECT_LT(key, run.nextKey) << entry.path();
            EXPECT_EQ(test::readFile(entry.path()), contentOf(key)) << key;
            EXPECT_FALSE(run.deleted.contains(key)) << key << " was deleted";
        }
        EXPECT_TRUE(std::includes(held.begin(), held.end(), run.kept.begin(), run.kept.end()))
            << "an object whose upload finished is missing";
        EXPECT_FALSE(run.kept.empty());
    }

    test::SharedStateGuard restore_;
    const test::Server server_ = test::rgw();
    const std::string bucket_ = test::uniqueBucketName("load");
    const test::TempDir dir_;
};

TEST_F(Load, MixedRequestsThroughInjectedFaultsEachEndOnceAndLeaveExactObjects) {
    test::useServer(server_);
    ASSERT_EQ(test::aws(server_, {"s3api", "create-bucket", "--bucket", bucket_}).exitCode, 0);
    for (const char* sub : {"up", "down", "synced"})
        fs::create_directories(dir_.path() / sub);
    test::FaultProxy proxy(
        server_.host, test::FaultProxy::seeded(20240601, 0.02,
                                               {test::ProxyFault::reset, test::ProxyFault::slowDown,
                                                test::ProxyFault::cutResponse}));
    S3Request::setDefaultHost(proxy.host());
    Quilo client(server_.accessKey, server_.secretKey, false, kConcurrency);

    auto run = std::make_shared<LoadState>();
    std::mt19937 random(7);
    std::size_t maxRunning = 0;
    for (int index = 0; index < kRequests; ++index) {
        Record& record = run->records[static_cast<std::size_t>(index)];
        {
            // Twice the limit in hand, so that the library's queue is what throttles.
            std::unique_lock lock(run->mutex);
            run->changed.wait(lock, [&] { return run->outstanding < 2 * kConcurrency; });
            ++run->outstanding;
            choose(*run, random, record);
        }
        start(client, run, record, index);
        maxRunning = std::max(maxRunning, HTTPRequest::sharedQueue().runningCount());
    }
    {
        std::unique_lock lock(run->mutex);
        ASSERT_TRUE(run->changed.wait_for(lock, std::chrono::seconds(180),
                                          [&] { return run->ended >= kRequests; }))
            << run->ended << " of " << kRequests << " requests ended";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // for a second ending to show
    std::lock_guard lock(run->mutex);
    EXPECT_EQ(run->ended, kRequests);
    EXPECT_LE(maxRunning, static_cast<std::size_t>(kConcurrency));
    EXPECT_GE(maxRunning, static_cast<std::size_t>(kConcurrency) / 2) << "the run never got busy";
    checkRecords(*run);
    checkBucket(*run);
}

}  // namespace
}  // namespace quilo
