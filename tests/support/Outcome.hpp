#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "quilo/Callbacks.hpp"

namespace quilo::test {

enum class Event { started, finished, failed, headerReceived, redirected, progress };

// The calls one request made to its callables or hooks, shared by whoever records them.
struct CallLog {
    struct Call {
        Event event;
        const void* request;
        std::thread::id thread;
        std::uint64_t sentSize = 0;  // progress only
        std::uint64_t total = 0;
    };

    void add(Call call) {
        {
            std::lock_guard lock(mutex);
            calls.push_back(call);
        }
        changed.notify_all();
    }
    int count(Event event) const {
        std::lock_guard lock(mutex);
        return static_cast<int>(std::count_if(
            calls.begin(), calls.end(), [&](const Call& call) { return call.event == event; }));
    }
    // Waits up to `timeout` for finished or failed, then `grace` longer so that a wrong second
    // call is seen too. False when the request did not end in time.
    bool waitForEnd(std::chrono::milliseconds timeout, std::chrono::milliseconds grace) const {
        std::unique_lock lock(mutex);
        const bool ended = changed.wait_for(lock, timeout, [&] {
            return std::any_of(calls.begin(), calls.end(), [](const Call& call) {
                return call.event == Event::finished || call.event == Event::failed;
            });
        });
        lock.unlock();
        std::this_thread::sleep_for(grace);
        return ended;
    }

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<Call> calls;
};

// Records every call of an operation's callables:
//
//     Outcome<QuiloBucketRequest> outcome;
//     client.createBucket(name, outcome.callbacks());
//     ASSERT_TRUE(outcome.waitForEnd()) << outcome.summary();
//     EXPECT_EQ(outcome.count(Event::finished), 1);
//
// Copies share one record, which the callables keep alive for as long as the request holds them.
template <class R>
class Outcome {
  public:
    using Call = CallLog::Call;

    Callbacks<R> callbacks() const {
        return {recorder(Event::started), recorder(Event::finished), recorder(Event::failed),
                recorder(Event::headerReceived), recorder(Event::redirected)};
    }
    TransferCallbacks<R> transferCallbacks() const {
        auto set = callbacks();
        return {set.started,
                set.finished,
                set.failed,
                set.headerReceived,
                set.redirected,
                [record = record_](const std::shared_ptr<R>& request, std::uint64_t sentSize,
                                   std::uint64_t total) {
                    record->add(Event::progress, request, sentSize, total);
                }};
    }

    bool waitForEnd(std::chrono::milliseconds timeout = std::chrono::seconds(30),
                    std::chrono::milliseconds grace = std::chrono::milliseconds(100)) const {
        return record_->log.waitForEnd(timeout, grace);
    }
    int count(Event event) const { return record_->log.count(event); }
    bool ok() const { return count(Event::finished) == 1 && count(Event::failed) == 0; }
    std::vector<Call> calls() const {
        std::lock_guard lock(record_->log.mutex);
        return record_->log.calls;
    }
    std::vector<std::pair<std::uint64_t, std::uint64_t>> progress() const {
        std::vector<std::pair<std::uint64_t, std::uint64_t>> reports;
        for (const auto& call : calls())
            if (call.event == Event::progress)
                reports.emplace_back(call.sentSize, call.total);
        return reports;
    }
    // The request the first call received.
    std::shared_ptr<R> request() const {
        std::lock_guard lock(record_->log.mutex);
        return record_->request;
    }
    // "started 1, finished 0, failed 1, ...; error: <description>" for assertion messages.
    std::string summary() const {
        std::string text;
        const char* names[] = {"started",        "finished",   "failed",
                               "headerReceived", "redirected", "progress"};
        for (int event = 0; event < 6; ++event)
            text += (event ? ", " : "") + std::string(names[event]) + " " +
                    std::to_string(count(static_cast<Event>(event)));
        if (auto first = request(); first && first->error())
            text += "; error: " + first->error()->description();
        return text;
    }

  private:
    struct Record {
        CallLog log;
        std::shared_ptr<R> request;

        void add(Event event, const std::shared_ptr<R>& received, std::uint64_t sentSize = 0,
                 std::uint64_t total = 0) {
            {
                std::lock_guard lock(log.mutex);
                if (!request)
                    request = received;
            }
            log.add({event, received.get(), std::this_thread::get_id(), sentSize, total});
        }
    };

    Callback<R> recorder(Event event) const {
        return [record = record_, event](const std::shared_ptr<R>& request) {
            record->add(event, request);
        };
    }

    std::shared_ptr<Record> record_ = std::make_shared<Record>();
};

// Polls `condition` until it holds or `timeout` passes; returns its last value.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace quilo::test
