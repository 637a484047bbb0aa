#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "quilo/requestlib/base/Error.hpp"
#include "quilo/requestlib/base/Types.hpp"
#include "quilo/requestlib/http/HTTPRequest.hpp"
#include "quilo/requestlib/http/HTTPRequestQueue.hpp"
#include "quilo/requestlib/http/RequestTransport.hpp"

namespace quilo::test {

// Stands in for the network in unit tests: records every request the queue admits, in order,
// and holds it until the test ends it.
class RecordingTransport : public RequestTransport {
  public:
    void perform(const std::shared_ptr<HTTPRequest>& request) override {
        {
            std::lock_guard lock(mutex_);
            performed_.push_back(request);
            seen_.push_back(request);
        }
        changed_.notify_all();
    }

    // Callable from any thread; the ending runs on the library's thread.
    using RequestTransport::fail;
    using RequestTransport::finish;

    // Waits until every task handed to the library's thread so far has run.
    void drain() {
        auto done = std::make_shared<std::promise<void>>();
        post([done] { done->set_value(); });
        done->get_future().wait();
    }
    // Waits until `count` requests have been performed in all.
    bool waitForPerformed(std::size_t count,
                          std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return performed_.size() >= count; });
    }

    std::vector<std::shared_ptr<HTTPRequest>> performed() const {
        std::lock_guard lock(mutex_);
        return performed_;
    }
    // Drops the record of performed requests, so that they can be released.
    void forget() {
        std::lock_guard lock(mutex_);
        performed_.clear();
    }
    // Fails every request still held, forgotten ones included.
    void failHeld() {
        std::vector<std::weak_ptr<HTTPRequest>> seen;
        {
            std::lock_guard lock(mutex_);
            seen = seen_;
        }
        for (const auto& each : seen)
            if (auto request = each.lock())
                fail(request, Error{ErrorKind::cancelled, "TestEnded", "the test ended", 0, {}});
    }

  private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::shared_ptr<HTTPRequest>> performed_;
    std::vector<std::weak_ptr<HTTPRequest>> seen_;
};

// Installs a RecordingTransport for its lifetime. On the way out it fails whatever is still held
// or waiting, so that no request of one test lingers in the shared queue of the next, and puts
// the network transport back.
class TransportGuard {
  public:
    TransportGuard() { HTTPRequest::sharedQueue().setTransport(transport_); }
    ~TransportGuard() {
        // Ending one request admits a waiting one, which must be ended in turn.
        auto& queue = HTTPRequest::sharedQueue();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        do {
            transport_->failHeld();
            transport_->drain();
        } while ((queue.runningCount() > 0 || queue.waitingCount() > 0) &&
                 std::chrono::steady_clock::now() < deadline);
        queue.setTransport(nullptr);
    }
    TransportGuard(const TransportGuard&) = delete;
    TransportGuard& operator=(const TransportGuard&) = delete;

    RecordingTransport& operator*() const { return *transport_; }
    RecordingTransport* operator->() const { return transport_.get(); }

  private:
    std::shared_ptr<RecordingTransport> transport_ = std::make_shared<RecordingTransport>();
};

}  // namespace quilo::test
