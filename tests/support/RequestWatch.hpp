#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "quilo/requestlib/HTTPRequest.hpp"

namespace quilo::test {

// Records the hook calls of one HTTPRequest. The hooks hold the record only, never the request.
class RequestWatch {
  public:
    enum Hook { started, finished, failed, redirected, headers, received };

    explicit RequestWatch(HTTPRequest& request) {
        auto note = [record = record_](Hook hook) { return [record, hook] { record->add(hook); }; };
        request.setStartedBlock(note(started));
        request.setCompletionBlock(note(finished));
        request.setFailedBlock(note(failed));
        request.setRequestRedirectedBlock(note(redirected));
        request.setHeadersReceivedBlock([record = record_](const auto&) { record->add(headers); });
        request.setBytesReceivedBlock([record = record_](auto, auto) { record->add(received); });
    }

    // Waits for completion or failure, then `grace` longer so that a wrong second call shows.
    bool waitForEnd(std::chrono::milliseconds timeout = std::chrono::seconds(30),
                    std::chrono::milliseconds grace = std::chrono::milliseconds(150)) const {
        std::unique_lock lock(record_->mutex);
        bool ended = record_->changed.wait_for(
            lock, timeout, [&] { return record_->counts[finished] + record_->counts[failed] > 0; });
        lock.unlock();
        std::this_thread::sleep_for(grace);
        return ended;
    }
    // Starts the watched `request`, then describes its end as ending() does.
    std::string run(HTTPRequest& request,
                    std::chrono::milliseconds timeout = std::chrono::seconds(30)) const {
        request.startAsynchronous();
        return ending(request, timeout);
    }
    // Waits for the end of the watched `request`: "finished", "failed <kind> <code>", or what
    // went wrong with the hooks.
    std::string ending(const HTTPRequest& request,
                       std::chrono::milliseconds timeout = std::chrono::seconds(30)) const {
        if (!waitForEnd(timeout))
            return "no end";
        if (count(finished) + count(failed) != 1 || count(started) > 1)
            return "started " + std::to_string(count(started)) + ", finished " +
                   std::to_string(count(finished)) + ", failed " + std::to_string(count(failed));
        const auto& error = request.error();
        if (count(finished))
            return error ? "finished with an error" : "finished";
        return error ? "failed " + std::string(toString(error->kind)) + " " + error->code
                     : "failed without an error";
    }

    int count(Hook hook) const {
        std::lock_guard lock(record_->mutex);
        return record_->counts[hook];
    }
    std::set<std::thread::id> threads() const {
        std::lock_guard lock(record_->mutex);
        return record_->threads;
    }

  private:
    struct Record {
        std::mutex mutex;
        std::condition_variable changed;
        std::array<int, 6> counts{};
        std::set<std::thread::id> threads;

        void add(Hook hook) {
            {
                std::lock_guard lock(mutex);
                ++counts[hook];
                threads.insert(std::this_thread::get_id());
            }
            changed.notify_all();
        }
    };
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
