#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "quilo/requestlib/http/HTTPRequest.hpp"
#include "support/Outcome.hpp"

namespace quilo::test {

// Records the hook calls of one HTTPRequest, as Outcome does an operation's callables. The hooks
// hold the record only, never the request.
class RequestWatch {
  public:
    using Hook = Event;
    static constexpr Event started = Event::started, finished = Event::finished,
                           failed = Event::failed, redirected = Event::redirected,
                           headers = Event::headerReceived, received = Event::progress;

    explicit RequestWatch(HTTPRequest& request) {
        auto note = [log = log_](Event event) {
            return [log, event] { log->add({event, nullptr, std::this_thread::get_id()}); };
        };
        request.setStartedBlock(note(started));
        request.setCompletionBlock(note(finished));
        request.setFailedBlock(note(failed));
        request.setRequestRedirectedBlock(note(redirected));
        request.setHeadersReceivedBlock([note = note(headers)](const auto&) { note(); });
        request.setBytesReceivedBlock([log = log_](std::uint64_t bytes, std::uint64_t total) {
            log->add({received, nullptr, std::this_thread::get_id(), bytes, total});
        });
    }

    bool waitForEnd(std::chrono::milliseconds timeout = std::chrono::seconds(30),
                    std::chrono::milliseconds grace = std::chrono::milliseconds(150)) const {
        return log_->waitForEnd(timeout, grace);
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

    int count(Event event) const { return log_->count(event); }
    // Whether the bytes received only grew, and ended at (size, size).
    bool receivedUpTo(std::uint64_t size) const {
        std::lock_guard lock(log_->mutex);
        std::uint64_t bytes = 0, total = 0;
        for (const auto& call : log_->calls) {
            if (call.event != received)
                continue;
            if (call.sentSize < bytes)
                return false;
            bytes = call.sentSize;
            total = call.total;
        }
        return bytes == size && total == size;
    }
    std::set<std::thread::id> threads() const {
        std::lock_guard lock(log_->mutex);
        std::set<std::thread::id> threads;
        for (const auto& call : log_->calls)
            threads.insert(call.thread);
        return threads;
    }

  private:
    std::shared_ptr<CallLog> log_ = std::make_shared<CallLog>();
};

}  // namespace quilo::test
