#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "quilo/requestlib/base/Export.hpp"

namespace quilo {

class HTTPRequest;
class RequestTransport;

// The process-wide queue (HTTPRequest::sharedQueue()) that admits started requests: at most
// maxConcurrentOperationCount() run at once; the others wait and are admitted in the order they
// were started. Safe to use from any thread.
class QUILO_EXPORT HTTPRequestQueue {
  public:
    // How many requests run at once until told otherwise.
    static constexpr int defaultMaxConcurrentOperationCount = 4;

    // A count below 1 restores the default, so that a request can never be left waiting forever.
    // Raising the limit admits waiting requests at once; lowering it lets running ones finish.
    void setMaxConcurrentOperationCount(std::int64_t count);
    int maxConcurrentOperationCount() const;
    std::size_t runningCount() const;
    std::size_t waitingCount() const;

    // Carries every request admitted from now on; nullptr restores the network transport.
    void setTransport(std::shared_ptr<RequestTransport> transport);

    HTTPRequestQueue(const HTTPRequestQueue&) = delete;
    HTTPRequestQueue& operator=(const HTTPRequestQueue&) = delete;

  private:
    friend class HTTPRequest;
    friend class RequestTransport;
    HTTPRequestQueue() = default;

    ~HTTPRequestQueue();

    void enqueue(std::shared_ptr<HTTPRequest> request);
    bool withdraw(const HTTPRequest& request);  // true when it was still waiting
    void admit();                               // on the network thread
    void release(const HTTPRequest& request);   // a running request has ended

    mutable std::mutex mutex_;
    int limit_ = defaultMaxConcurrentOperationCount;
    std::deque<std::shared_ptr<HTTPRequest>> waiting_;
    std::unordered_map<const HTTPRequest*, std::weak_ptr<HTTPRequest>> running_;
    std::shared_ptr<RequestTransport> transport_;
};

}  // namespace quilo
