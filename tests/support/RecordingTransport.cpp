#include "RecordingTransport.hpp"

#include <algorithm>
#include <future>

#include "quilo/requestlib/HTTPRequestQueue.hpp"

namespace quilo::test {

void RecordingTransport::perform(const std::shared_ptr<HTTPRequest>& request) {
    Answer answer;
    {
        std::lock_guard lock(mutex_);
        pruneEndedLocked();
        performed_.push_back(request);
        inFlight_.push_back(request);
        maxInFlight_ = std::max(maxInFlight_, inFlight_.size());
        answer = answer_;
    }
    changed_.notify_all();
    switch (answer.kind) {
        case Answer::Kind::hold:
            break;
        case Answer::Kind::finish:
            finish(request, answer.status, std::move(answer.headers), std::move(answer.body));
            break;
        case Answer::Kind::fail:
            fail(request, std::move(answer.error));
            break;
    }
}

void RecordingTransport::holdAll() {
    std::lock_guard lock(mutex_);
    answer_ = Answer{};
}

void RecordingTransport::answerAll(int status, HeaderMap headers, std::string body) {
    std::lock_guard lock(mutex_);
    answer_ = Answer{Answer::Kind::finish, status, std::move(headers), std::move(body), {}};
}

void RecordingTransport::failAll(Error error) {
    std::lock_guard lock(mutex_);
    answer_ = Answer{Answer::Kind::fail, 0, {}, {}, std::move(error)};
}

// RequestTransport ends a request on the library's thread, whichever thread asks.
void RecordingTransport::finish(const std::shared_ptr<HTTPRequest>& request, int status,
                                HeaderMap headers, std::string body) {
    {
        std::lock_guard lock(mutex_);
        std::erase(inFlight_, request);
    }
    RequestTransport::finish(request, status, std::move(headers), std::move(body));
}

void RecordingTransport::fail(const std::shared_ptr<HTTPRequest>& request, Error error) {
    {
        std::lock_guard lock(mutex_);
        std::erase(inFlight_, request);
    }
    RequestTransport::fail(request, std::move(error));
}

std::size_t RecordingTransport::failOutstanding() {
    std::vector<std::shared_ptr<HTTPRequest>> held;
    {
        std::lock_guard lock(mutex_);
        pruneEndedLocked();
        held = inFlight_;
    }
    for (const auto& request : held) {
        Error error;
        error.kind = ErrorKind::cancelled;
        error.code = "TestEnded";
        error.message = "the test ended before this request";
        fail(request, std::move(error));
    }
    return held.size();
}

void RecordingTransport::drain() {
    auto done = std::make_shared<std::promise<void>>();
    auto ran = done->get_future();
    post([done] { done->set_value(); });
    ran.wait();
}

bool RecordingTransport::waitForPerformed(std::size_t count,
                                          std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return performed_.size() >= count; });
}

std::vector<std::shared_ptr<HTTPRequest>> RecordingTransport::performed() const {
    std::lock_guard lock(mutex_);
    return performed_;
}

std::size_t RecordingTransport::performedCount() const {
    std::lock_guard lock(mutex_);
    return performed_.size();
}

std::size_t RecordingTransport::inFlight() const {
    std::lock_guard lock(mutex_);
    return inFlight_.size();
}

std::size_t RecordingTransport::maxInFlight() const {
    std::lock_guard lock(mutex_);
    return maxInFlight_;
}

void RecordingTransport::forget() {
    std::lock_guard lock(mutex_);
    performed_.clear();
}

// A held request can still end without the transport (cancel()).
void RecordingTransport::pruneEndedLocked() {
    std::erase_if(inFlight_, [](const auto& request) {
        const auto state = request->state();
        return state == HTTPRequest::State::finished || state == HTTPRequest::State::failed;
    });
}

TransportGuard::TransportGuard() {
    HTTPRequest::sharedQueue().setTransport(transport_);
}

TransportGuard::~TransportGuard() {
    transport_->holdAll();
    // Ending one request admits a waiting one, which must be ended in turn.
    auto& queue = HTTPRequest::sharedQueue();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    do {
        transport_->failOutstanding();
        transport_->drain();
    } while ((queue.runningCount() > 0 || queue.waitingCount() > 0) &&
             std::chrono::steady_clock::now() < deadline);
    queue.setTransport(nullptr);
}

}  // namespace quilo::test
