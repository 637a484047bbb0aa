#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "quilo/quilo.hpp"
#include "requestlib/RequestRun.hpp"
#include "support/FaultProxy.hpp"
#include "support/Servers.hpp"
#include "support/SharedState.hpp"

namespace quilo {
namespace {

namespace fs = std::filesystem;
using test::FaultProxy;
using test::ProxyFault;

constexpr int kRequests = 2000;
constexpr int kConcurrency = 32;
// Twice the limit in hand, so that the library's queue, not this driver, is what throttles.
constexpr int kOutstanding = 2 * kConcurrency;
constexpr double kFaultRate = 0.02;
constexpr auto kEndTimeout = std::chrono::seconds(180);

enum class Op { put, get, head, list, remove };

const char* nameOf(Op op) {
    switch (op) {
        case Op::put:
            return "PUT";
        case Op::get:
            return "GET";
        case Op::head:
            return "HEAD";
        case Op::list:
            return "LIST";
        case Op::remove:
            return "DELETE";
    }
    return "?";
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::string keyName(int key) {
    return "load/" + std::to_string(key);
}

// What one request of the run was, and what came of it. Written by the callables on the
// network thread, read by the test once every request has ended.
struct Record {
    Op op = Op::put;
    int key = -1;
    std::atomic<int> started{0}, finished{0}, failed{0};
    std::optional<Error> error;
    std::optional<std::string> contentLength;  // HEAD
    std::vector<S3Object> listed;              // LIST
};

struct KeyState {
    bool uploaded = false;  // its upload finished
    bool deleting = false;  // a DELETE was issued; no request reads it any more
    bool deleted = false;   // that DELETE finished
    int readers = 0;        // GET and HEAD in flight
};

// The state the driver and the callables share.
struct LoadState {
    std::mutex mutex;
    std::condition_variable changed;
    int outstanding = 0;
    int ended = 0;
    std::vector<std::unique_ptr<Record>> records;
    std::map<int, KeyState> keys;
    std::map<int, std::string> contents;  // every key the run uploads, with its bytes
};

// Why a request may fail here: each cause is one of the proxy's faults, after the retries the
// library makes on its own.
enum class Cause { cutAnswer, slowDown, reset, unexplained };

Cause causeOf(const Error& error) {
    if (error.kind == ErrorKind::transport && error.httpStatus != 0)
        return Cause::cutAnswer;  // retries stop once an answer has begun
    // (A HEAD answer has no body to name the SlowDown.)
    if (error.kind == ErrorKind::service && error.httpStatus == 503)
        return Cause::slowDown;
    if (error.kind == ErrorKind::transport && error.httpStatus == 0 &&
        (error.code == "ConnectionReset" || error.code == "EmptyResponse"))
        return Cause::reset;
    return Cause::unexplained;
}

class Load : public ::testing::Test {
  protected:
    void SetUp() override {
        server_ = test::rgw();
        test::useServer(server_);
        bucket_ = test::uniqueBucketName("load");
        const auto made = test::aws(server_, {"s3api", "create-bucket", "--bucket", bucket_});
        ASSERT_EQ(made.exitCode, 0) << made.err;
        bucketMade_ = true;
        std::string pattern = (fs::temp_directory_path() / "quilo-load-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        fs::create_directories(dir_ / "up");
        fs::create_directories(dir_ / "down");
        fs::create_directories(dir_ / "synced");
    }

    void TearDown() override {
        if (bucketMade_)
            test::aws(server_, {"s3", "rb", "s3://" + bucket_, "--force"});
        if (!dir_.empty())
            fs::remove_all(dir_);
        S3Request::setDefaultHost(server_.host);
    }

    test::SharedStateGuard restore_;
    test::Server server_;
    std::string bucket_;
    bool bucketMade_ = false;
    fs::path dir_;
};

// Mixed requests at the queue's limit through a proxy that breaks a few of them; the bucket
// is then read back with awscli, straight from the gateway.
TEST_F(Load, MixedRequestsThroughInjectedFaultsEachEndOnceAndLeaveExactObjects) {
    FaultProxy proxy(server_.host, FaultProxy::seeded(20240601, kFaultRate,
                                                      {ProxyFault::reset, ProxyFault::slowDown,
                                                       ProxyFault::cutResponse}));
    S3Request::setDefaultHost(proxy.host());
    Quilo client(server_.accessKey, server_.secretKey, false, kConcurrency);

    auto run = std::make_shared<LoadState>();
    // All made up front: the callables index them while the driver goes on.
    for (int index = 0; index < kRequests; ++index)
        run->records.push_back(std::make_unique<Record>());
    std::mt19937 random(7);
    int nextKey = 0;
    std::size_t maxRunning = 0;
    const auto began = std::chrono::steady_clock::now();

    // The callables: `index` is the request's record.
    auto ending = [run](int index, bool success) {
        return [run, index, success](const auto& request) {
            Record& record = *run->records[static_cast<std::size_t>(index)];
            (success ? record.finished : record.failed)++;
            std::lock_guard lock(run->mutex);
            if (!success) {
                record.error = request->error();
            } else if (record.op == Op::head) {
                auto length = request->responseHeaders().find("Content-Length");
                if (length != request->responseHeaders().end())
                    record.contentLength = length->second;
            } else if constexpr (std::is_same_v<std::decay_t<decltype(*request)>,
                                                QuiloBucketRequest>) {
                record.listed = request->objects();
            }
            if (record.key >= 0) {
                KeyState& key = run->keys[record.key];
                if (record.op == Op::put && success)
                    key.uploaded = true;
                if (record.op == Op::get || record.op == Op::head)
                    --key.readers;
                if (record.op == Op::remove && success)
                    key.deleted = true;
            }
            --run->outstanding;
            ++run->ended;
            run->changed.notify_all();
        };
    };
    auto started = [run](int index) {
        return
            [run, index](const auto&) { run->records[static_cast<std::size_t>(index)]->started++; };
    };

    for (int index = 0; index < kRequests; ++index) {
        Op op;
        int key = -1;
        {
            std::unique_lock lock(run->mutex);
            run->changed.wait(lock, [&] { return run->outstanding < kOutstanding; });
            ++run->outstanding;
            std::vector<int> readable, deletable;
            for (const auto& [k, state] : run->keys) {
                if (state.uploaded && !state.deleting) {
                    readable.push_back(k);
                    if (state.readers == 0)
                        deletable.push_back(k);
                }
            }
            const auto roll = random() % 100;
            op = roll < 40   ? Op::put
                 : roll < 65 ? Op::get
                 : roll < 80 ? Op::head
                 : roll < 85 ? Op::list
                             : Op::remove;
            if ((op == Op::get || op == Op::head) && readable.empty())
                op = Op::put;
            if (op == Op::remove && deletable.empty())
                op = Op::put;
            if (op == Op::put) {
                key = nextKey++;
                run->keys[key];
            } else if (op == Op::get || op == Op::head) {
                key = readable[random() % readable.size()];
                ++run->keys[key].readers;
            } else if (op == Op::remove) {
                key = deletable[random() % deletable.size()];
                run->keys[key].deleting = true;
            }
            run->records[static_cast<std::size_t>(index)]->op = op;
            run->records[static_cast<std::size_t>(index)]->key = key;
        }
        const std::string name = key >= 0 ? keyName(key) : std::string();
        if (op == Op::put) {
            // Sizes from empty to 16 KiB, bytes from a generator of the key's own.
            std::mt19937 bytes(static_cast<unsigned>(key));
            std::string content(key % 97 == 0 ? 0 : 1 + bytes() % 16384, '\0');
            for (auto& c : content)
                c = static_cast<char>(bytes());
            const fs::path file = dir_ / "up" / std::to_string(key);
            std::ofstream(file, std::ios::binary) << content;
            {
                std::lock_guard lock(run->mutex);
                run->contents[key] = std::move(content);
            }
            client.uploadObject({{"filePath", file.string()}, {"bucket", bucket_}, {"key", name}},
                                {.started = started(index),
                                 .finished = ending(index, true),
                                 .failed = ending(index, false)});
        } else if (op == Op::get) {
            client.downloadObject(
                {{"bucket", bucket_},
                 {"key", name},
                 {"downloadDestinationPath", (dir_ / "down" / std::to_string(index)).string()}},
                {.started = started(index),
                 .finished = ending(index, true),
                 .failed = ending(index, false)});
        } else if (op == Op::head) {
            client.getObjectMeta({{"bucket", bucket_}, {"key", name}},
                                 {.started = started(index),
                                  .finished = ending(index, true),
                                  .failed = ending(index, false)});
        } else if (op == Op::remove) {
            client.deleteObject({{"bucket", bucket_}, {"key", name}},
                                {.started = started(index),
                                 .finished = ending(index, true),
                                 .failed = ending(index, false)});
        } else {
            client.listObjects({{"bucket", bucket_},
                                {"maxKeys", 50},
                                {"prefix", std::string("load/")},
                                {"delimiter", std::string()},
                                {"marker", std::string()}},
                               {.started = started(index),
                                .finished = ending(index, true),
                                .failed = ending(index, false)});
        }
        maxRunning = std::max(maxRunning, HTTPRequest::sharedQueue().runningCount());
    }

    {
        std::unique_lock lock(run->mutex);
        ASSERT_TRUE(
            run->changed.wait_for(lock, kEndTimeout, [&] { return run->ended >= kRequests; }))
            << run->ended << " of " << kRequests << " requests ended";
    }
    // Long enough for a wrong second ending to show.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    const auto faults = proxy.counts();

    std::lock_guard lock(run->mutex);
    EXPECT_EQ(run->ended, kRequests);
    EXPECT_LE(maxRunning, static_cast<std::size_t>(kConcurrency));
    EXPECT_GE(maxRunning, static_cast<std::size_t>(kConcurrency) / 2) << "the run never got busy";

    std::map<Cause, int> causes;
    std::map<std::string, int> failures;  // "GET transport TruncatedResponse" -> count
    std::map<Op, int> done;
    for (const auto& record : run->records) {
        ASSERT_EQ(record->started.load(), 1) << nameOf(record->op) << " " << record->key;
        ASSERT_EQ(record->finished + record->failed, 1)
            << nameOf(record->op) << " " << record->key << " finished " << record->finished
            << " failed " << record->failed;
        if (record->finished) {
            ++done[record->op];
            continue;
        }
        ASSERT_TRUE(record->error);
        ++causes[causeOf(*record->error)];
        ++failures[std::string(nameOf(record->op)) + " " +
                   std::string(toString(record->error->kind)) + " " + record->error->code];
        EXPECT_NE(causeOf(*record->error), Cause::unexplained)
            << nameOf(record->op) << " " << keyName(record->key) << ": "
            << record->error->description();
    }
    std::ostringstream report;
    report << seconds << " s; proxy: " << faults.requests << " requests on " << faults.connections
           << " connections, " << faults.resets << " resets, " << faults.slowDowns << " SlowDowns, "
           << faults.cutResponses << " cut answers; failed:";
    for (const auto& [what, count] : failures)
        report << " [" << what << " x" << count << "]";
    std::cout << "[ load     ] " << report.str() << std::endl;

    // Every kind of fault happened, and no failure needs more faults than there were: a fault
    // that the library retries fails a request only when every attempt met one.
    const int attempts = detail::RetryPolicy::maxRetries() + 1;
    EXPECT_GT(faults.resets, 0u);
    EXPECT_GT(faults.slowDowns, 0u);
    EXPECT_GT(faults.cutResponses, 0u);
    EXPECT_LE(causes[Cause::cutAnswer], static_cast<int>(faults.cutResponses)) << report.str();
    EXPECT_LE(causes[Cause::slowDown] * attempts, static_cast<int>(faults.slowDowns))
        << report.str();
    EXPECT_LE(causes[Cause::reset] * attempts, static_cast<int>(faults.resets)) << report.str();
    for (Op op : {Op::put, Op::get, Op::head, Op::list, Op::remove})
        EXPECT_GT(done[op], 0) << nameOf(op) << " never finished";

    // What finished is right.
    for (std::size_t index = 0; index < run->records.size(); ++index) {
        const Record& record = *run->records[index];
        const fs::path downloaded = dir_ / "down" / std::to_string(index);
        if (record.op == Op::get && record.finished) {
            EXPECT_EQ(readFile(downloaded), run->contents.at(record.key))
                << "GET " << keyName(record.key);
        } else if (record.op == Op::get) {
            EXPECT_FALSE(fs::exists(downloaded)) << "a failed GET wrote " << downloaded;
        } else if (record.op == Op::head && record.finished) {
            EXPECT_EQ(record.contentLength, std::to_string(run->contents.at(record.key).size()))
                << "HEAD " << keyName(record.key);
        } else if (record.op == Op::list && record.finished) {
            EXPECT_LE(record.listed.size(), 50u);
            for (const auto& object : record.listed) {
                const int key = std::stoi(object.key.substr(5));
                ASSERT_TRUE(run->contents.count(key)) << object.key << " was never uploaded";
                EXPECT_EQ(object.size, run->contents.at(key).size()) << object.key;
            }
        }
    }
    for (const auto& entry : fs::directory_iterator(dir_ / "down"))
        EXPECT_EQ(entry.path().extension(), "") << "left behind: " << entry.path();

    // The gateway holds every object whose upload finished and that no finished DELETE removed,
    // byte for byte; whatever else it holds is still one of the run's objects, intact.
    const auto synced =
        test::aws(server_, {"s3", "cp", "--recursive", "--only-show-errors",
                            "s3://" + bucket_ + "/load/", (dir_ / "synced").string()});
    ASSERT_EQ(synced.exitCode, 0) << synced.err;
    int checked = 0;
    for (const auto& [key, state] : run->keys) {
        const fs::path copy = dir_ / "synced" / std::to_string(key);
        if (state.deleted) {
            EXPECT_FALSE(fs::exists(copy)) << keyName(key) << " survived its DELETE";
        } else if (state.uploaded && !state.deleting) {
            ASSERT_TRUE(fs::exists(copy)) << keyName(key) << " finished uploading but is missing";
            EXPECT_EQ(readFile(copy), run->contents.at(key)) << keyName(key);
            ++checked;
        }
    }
    for (const auto& entry : fs::directory_iterator(dir_ / "synced")) {
        const int key = std::stoi(entry.path().filename().string());
        ASSERT_TRUE(run->contents.count(key)) << entry.path();
        EXPECT_EQ(readFile(entry.path()), run->contents.at(key)) << keyName(key);
    }
    EXPECT_GT(checked, 0);
}

}  // namespace
}  // namespace quilo
