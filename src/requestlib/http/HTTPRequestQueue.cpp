#include "quilo/requestlib/http/HTTPRequestQueue.hpp"

#include <algorithm>
#include <climits>
#include <vector>

#include "quilo/requestlib/http/HTTPRequest.hpp"
#include "requestlib/http/Engine.hpp"

namespace quilo {

HTTPRequestQueue::~HTTPRequestQueue() {
    // The process is exiting with requests in flight. Their hooks hold the requests themselves;
    // drop them so that nothing is left behind as a leak (no hook is called this late).
    std::vector<std::shared_ptr<HTTPRequest>> orphans(waiting_.begin(), waiting_.end());
    for (auto& [raw, weak] : running_)
        if (auto request = weak.lock())
            orphans.push_back(std::move(request));
    waiting_.clear();
    running_.clear();
    for (auto& request : orphans) {
        request->hooks_ = {};
        request->run_.reset();
    }
}

void HTTPRequestQueue::setMaxConcurrentOperationCount(std::int64_t count) {
    {
        std::lock_guard lock(mutex_);
        limit_ = count < 1 ? defaultMaxConcurrentOperationCount
                           : static_cast<int>(std::min<std::int64_t>(count, INT_MAX));
    }
    detail::Engine::instance().post([this] { admit(); });
}

int HTTPRequestQueue::maxConcurrentOperationCount() const {
    std::lock_guard lock(mutex_);
    return limit_;
}

std::size_t HTTPRequestQueue::runningCount() const {
    std::lock_guard lock(mutex_);
    return running_.size();
}

std::size_t HTTPRequestQueue::waitingCount() const {
    std::lock_guard lock(mutex_);
    return waiting_.size();
}

void HTTPRequestQueue::setTransport(std::shared_ptr<RequestTransport> transport) {
    std::lock_guard lock(mutex_);
    transport_ = std::move(transport);
}

void HTTPRequestQueue::enqueue(std::shared_ptr<HTTPRequest> request) {
    {
        std::lock_guard lock(mutex_);
        waiting_.push_back(std::move(request));
    }
    detail::Engine::instance().post([this] { admit(); });
}

bool HTTPRequestQueue::withdraw(const HTTPRequest& request) {
    std::lock_guard lock(mutex_);
    auto found = std::find_if(waiting_.begin(), waiting_.end(),
                              [&](const auto& waiting) { return waiting.get() == &request; });
    if (found == waiting_.end())
        return false;
    waiting_.erase(found);
    return true;
}

void HTTPRequestQueue::admit() {
    while (true) {
        std::shared_ptr<HTTPRequest> request;
        std::shared_ptr<RequestTransport> transport;
        {
            std::lock_guard lock(mutex_);
            if (waiting_.empty() || running_.size() >= static_cast<std::size_t>(limit_))
                return;
            request = std::move(waiting_.front());
            waiting_.pop_front();
            running_.emplace(request.get(), request);
            transport = transport_;
        }
        request->begin(transport);
    }
}

void HTTPRequestQueue::release(const HTTPRequest& request) {
    {
        std::lock_guard lock(mutex_);
        running_.erase(&request);
    }
    detail::Engine::instance().post([this] { admit(); });
}

}  // namespace quilo
