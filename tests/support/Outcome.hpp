#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "quilo/Callbacks.hpp"

namespace quilo::test {

enum class Event { started, finished, failed, headerReceived, redirected, progress };

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
    struct Call {
        Event event;
        const R* request;
        std::thread::id thread;
        std::uint64_t sentSize = 0;  // progress only
        std::uint64_t total = 0;
    };

    // All five lifecycle callables.
    Callbacks<R> callbacks() const {
        return callbacks({Event::started, Event::finished, Event::failed, Event::headerReceived,
                          Event::redirected});
    }
    // Only the callables of `present`; the others are left out.
    Callbacks<R> callbacks(const std::set<Event>& present) const {
        Callbacks<R> set;
        set.started = recorder(present, Event::started);
        set.finished = recorder(present, Event::finished);
        set.failed = recorder(present, Event::failed);
        set.headerReceived = recorder(present, Event::headerReceived);
        set.redirected = recorder(present, Event::redirected);
        return set;
    }
    // The five and progress.
    TransferCallbacks<R> transferCallbacks() const {
        return transferCallbacks({Event::started, Event::finished, Event::failed,
                                  Event::headerReceived, Event::redirected, Event::progress});
    }
    TransferCallbacks<R> transferCallbacks(const std::set<Event>& present) const {
        auto lifecycle = callbacks(present);
        TransferCallbacks<R> set;
        set.started = lifecycle.started;
        set.finished = lifecycle.finished;
        set.failed = lifecycle.failed;
        set.headerReceived = lifecycle.headerReceived;
        set.redirected = lifecycle.redirected;
        if (present.count(Event::progress)) {
            set.progress = [record = record_](const std::shared_ptr<R>& request,
                                              std::uint64_t sentSize, std::uint64_t total) {
                record->add(Call{Event::progress, request.get(), std::this_thread::get_id(),
                                 sentSize, total},
                            request);
            };
        }
        return set;
    }

    // Waits up to `timeout` for finished or failed, then `grace` longer so that a wrong second
    // call is seen too. False when the request did not end in time.
    bool waitForEnd(std::chrono::milliseconds timeout = std::chrono::seconds(30),
                    std::chrono::milliseconds grace = std::chrono::milliseconds(100)) const {
        std::unique_lock lock(record_->mutex);
        const bool ended =
            record_->changed.wait_for(lock, timeout, [&] { return record_->endedLocked(); });
        lock.unlock();
        std::this_thread::sleep_for(grace);
        return ended;
    }

    int count(Event event) const {
        std::lock_guard lock(record_->mutex);
        int n = 0;
        for (const auto& call : record_->calls) {
            n += call.event == event ? 1 : 0;
        }
        return n;
    }
    std::vector<Call> calls() const {
        std::lock_guard lock(record_->mutex);
        return record_->calls;
    }
    std::vector<std::pair<std::uint64_t, std::uint64_t>> progress() const {
        std::vector<std::pair<std::uint64_t, std::uint64_t>> reports;
        for (const auto& call : calls()) {
            if (call.event == Event::progress) {
                reports.emplace_back(call.sentSize, call.total);
            }
        }
        return reports;
    }
    // The request the first call received.
    std::shared_ptr<R> request() const {
        std::lock_guard lock(record_->mutex);
        return record_->request;
    }
    // True when every call received the same request (and there was at least one call).
    bool oneRequest() const {
        const auto all = calls();
        for (const auto& call : all) {
            if (call.request != all.front().request) {
                return false;
            }
        }
        return !all.empty();
    }
    // "started 1, finished 0, failed 1, ...; error: <description>" for assertion messages.
    std::string summary() const {
        std::ostringstream text;
        text << "started " << count(Event::started) << ", finished " << count(Event::finished)
             << ", failed " << count(Event::failed) << ", headerReceived "
             << count(Event::headerReceived) << ", redirected " << count(Event::redirected)
             << ", progress " << count(Event::progress);
        if (auto last = request(); last && last->error()) {
            text << "; error: " << last->error()->description();
        }
        return text.str();
    }

  private:
    struct Record {
        std::mutex mutex;
        std::condition_variable changed;
        std::vector<Call> calls;
        std::shared_ptr<R> request;

        void add(Call call, const std::shared_ptr<R>& received) {
            {
                std::lock_guard lock(mutex);
                calls.push_back(call);
                if (!request) {
                    request = received;
                }
            }
            changed.notify_all();
        }
        bool endedLocked() const {
            for (const auto& call : calls) {
                if (call.event == Event::finished || call.event == Event::failed) {
                    return true;
                }
            }
            return false;
        }
    };

    Callback<R> recorder(const std::set<Event>& present, Event event) const {
        if (!present.count(event)) {
            return {};
        }
        return [record = record_, event](const std::shared_ptr<R>& request) {
            record->add(Call{event, request.get(), std::this_thread::get_id()}, request);
        };
    }

    std::shared_ptr<Record> record_ = std::make_shared<Record>();
};

}  // namespace quilo::test
