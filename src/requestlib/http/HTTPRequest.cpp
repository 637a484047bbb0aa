#include "quilo/requestlib/http/HTTPRequest.hpp"

#include <cmath>

#include "quilo/requestlib/http/HTTPRequestQueue.hpp"
#include "quilo/requestlib/http/RequestTransport.hpp"
#include "requestlib/base/Errors.hpp"
#include "requestlib/base/Hooks.hpp"
#include "requestlib/base/Text.hpp"
#include "requestlib/http/Engine.hpp"
#include "requestlib/http/Protocol.hpp"
#include "requestlib/http/RequestRun.hpp"

namespace quilo {
namespace {

std::mutex gDefaultsMutex;
std::optional<std::string> gDefaultCAFile;

}  // namespace

HTTPRequest::HTTPRequest() : protocol_(&detail::Protocol::http()) {}

HTTPRequest::HTTPRequest(std::optional<std::string> url)
    : url_(std::move(url)), protocol_(&detail::Protocol::http()) {}

HTTPRequest::~HTTPRequest() = default;

HTTPRequestQueue& HTTPRequest::sharedQueue() {
    static HTTPRequestQueue queue;
    return queue;
}

void HTTPRequest::setDefaultCAFile(std::optional<std::string> path) {
    std::lock_guard lock(gDefaultsMutex);
    gDefaultCAFile = std::move(path);
}

std::optional<std::string> HTTPRequest::defaultCAFile() {
    std::lock_guard lock(gDefaultsMutex);
    return gDefaultCAFile;
}

bool HTTPRequest::configurable() const {
    return state() == State::ready;
}

void HTTPRequest::setStartedBlock(Block block) {
    if (configurable())
        hooks_.started = std::move(block);
}
void HTTPRequest::setCompletionBlock(Block block) {
    if (configurable())
        hooks_.completion = std::move(block);
}
void HTTPRequest::setFailedBlock(Block block) {
    if (configurable())
        hooks_.failed = std::move(block);
}
void HTTPRequest::setHeadersReceivedBlock(HeadersBlock block) {
    if (configurable())
        hooks_.headersReceived = std::move(block);
}
void HTTPRequest::setRequestRedirectedBlock(Block block) {
    if (configurable())
        hooks_.redirected = std::move(block);
}
void HTTPRequest::setBytesSentBlock(ProgressBlock block) {
    if (configurable())
        hooks_.bytesSent = std::move(block);
}
void HTTPRequest::setBytesReceivedBlock(ProgressBlock block) {
    if (configurable())
        hooks_.bytesReceived = std::move(block);
}

void HTTPRequest::setURL(std::optional<std::string> url) {
    if (configurable())
        url_ = std::move(url);
}

void HTTPRequest::setRequestMethod(std::string method) {
    if (!configurable())
        return;
    if (!detail::isHeaderName(method))
        return failBeforeSending(detail::misuse(detail::Code::InvalidMethod,
                                                "\"" + method + "\" is not an HTTP method"));
    method_ = std::move(method);
}

void HTTPRequest::addRequestHeader(std::string name, std::string value) {
    using detail::Code;
    if (!configurable())
        return;
    if (!detail::isHeaderName(name))
        return failBeforeSending(
            detail::misuse(Code::InvalidHeader, "a header name must be an HTTP token"));
    if (!detail::isSafeHeaderValue(value))
        return failBeforeSending(detail::misuse(
            Code::InvalidHeader, "the value of header \"" + name + "\" holds a line break or NUL"));
    headers_.emplace_back(std::move(name), std::move(value));
}

void HTTPRequest::setPostBody(std::string body) {
    if (configurable())
        postBody_ = std::move(body);
}

void HTTPRequest::setRequestHeader(std::string name, std::string value) {
    if (!configurable())
        return;
    std::erase_if(headers_, [&](const auto& header) {
        return detail::equalsIgnoringCase(header.first, name);
    });
    addRequestHeader(std::move(name), std::move(value));
}

void HTTPRequest::setRange(std::optional<std::string> range) {
    if (!configurable())
        return;
    if (range && !detail::isByteRange(*range))
        return failBeforeSending(detail::misuse(
            detail::Code::InvalidParameter,
            "\"" + *range +
                "\" is not one range: bytes=first-last, bytes=first- or bytes=-length"));
    range_ = std::move(range);
}

void HTTPRequest::setUploadData(std::span<const std::byte> bytes) {
    if (configurable())
        uploadData_ = bytes;
}

void HTTPRequest::setUploadFilePath(std::optional<std::string> path) {
    if (configurable())
        uploadFilePath_ = std::move(path);
}

void HTTPRequest::setTimeOutSeconds(double seconds) {
    if (!configurable())
        return;
    // NaN, infinities and non-positive values would disable the time-out or fail at once.
    if (!std::isfinite(seconds) || seconds <= 0)
        return failBeforeSending(
            detail::misuse(detail::Code::InvalidTimeOut, "the time-out must be a positive number"));
    timeOutSeconds_ = seconds;
}

void HTTPRequest::setShowAccurateProgress(bool accurate) {
    if (configurable())
        showAccurateProgress_ = accurate;
}

void HTTPRequest::setDownloadDestinationPath(std::optional<std::string> path) {
    if (configurable())
        destinationPath_ = std::move(path);
}

void HTTPRequest::setFollowsSymlinks(bool follow) {
    if (configurable())
        followsSymlinks_ = follow;
}

void HTTPRequest::setResumeJournal(std::optional<std::string> path) {
    if (configurable())
        resumeJournal_ = std::move(path);
}

void HTTPRequest::failBeforeSending(Error error) {
    std::lock_guard lock(stateMutex_);
    if (state_ == State::ready && !pendingError_)
        pendingError_ = std::move(error);
}

HTTPRequest::State HTTPRequest::state() const {
    std::lock_guard lock(stateMutex_);
    return state_;
}

void HTTPRequest::startAsynchronous() {
    auto self = weak_from_this().lock();
    std::optional<Error> pending;
    {
        std::lock_guard lock(stateMutex_);
        if (state_ != State::ready)
            return;
        if (!self) {
            // Nothing would keep the request alive while it runs, and no hook can be trusted
            // with it: fail at once, without hooks.
            state_ = State::failed;
            error_ = detail::misuse(detail::Code::NotShared,
                                    "a request must be owned by a std::shared_ptr to start");
            return;
        }
        state_ = State::waiting;
        pending = cancelled_ ? detail::cancelledError() : pendingError_;
    }
    if (pending) {
        detail::Engine::instance().post([self, pending] { self->end(pending); });
        return;
    }
    sharedQueue().enqueue(std::move(self));
}

void HTTPRequest::cancel() {
    auto self = weak_from_this().lock();
    {
        std::lock_guard lock(stateMutex_);
        if (cancelled_ || state_ == State::finished || state_ == State::failed)
            return;
        cancelled_ = true;
        // Not started yet: the start sees the flag under this same lock.
        if (state_ == State::ready || !self)
            return;
    }
    detail::Engine::instance().post([self] {
        if (sharedQueue().withdraw(*self) || !self->run_)
            self->end(detail::cancelledError());
        else
            std::shared_ptr<detail::RequestRun>(self->run_)->cancel();
    });
}

void HTTPRequest::begin(const std::shared_ptr<RequestTransport>& transport) {
    auto self = shared_from_this();
    bool endedWhileWaiting;
    {
        std::lock_guard lock(stateMutex_);
        endedWhileWaiting = state_ != State::waiting;
        admitted_ = !endedWhileWaiting;
        if (!endedWhileWaiting)
            state_ = State::running;
    }
    if (endedWhileWaiting)
        return sharedQueue().release(*this);
    detail::callHook(hooks_.started);
    if (state() != State::running)
        return;
    bool cancelled;
    {
        std::lock_guard lock(stateMutex_);
        cancelled = cancelled_;
    }
    if (cancelled)
        return end(detail::cancelledError());
    if (transport)
        return transport->perform(self);
    run_ = std::make_shared<detail::RequestRun>(self);
    auto run = run_;
    run->guarded([&] { protocol_->perform(*run); });
}

void HTTPRequest::end(std::optional<Error> error) {
    auto self = shared_from_this();
    bool admitted;
    {
        std::lock_guard lock(stateMutex_);
        if (state_ == State::finished || state_ == State::failed)
            return;
        state_ = error ? State::failed : State::finished;
        admitted = admitted_;
        // Under the lock, so that a thread that sees the request ended also sees why.
        error_ = std::move(error);
    }
    Hooks hooks = std::exchange(hooks_, {});
    run_.reset();
    detail::callHook(error_ ? hooks.failed : hooks.completion);
    // Dropping the hooks releases what they hold, this request included (self keeps it here).
    hooks = {};
    if (admitted)
        sharedQueue().release(*this);
}

void HTTPRequest::recordAnswer(int status, HeaderMap headers, std::string body) {
    responseStatus_ = status;
    responseHeaders_ = std::move(headers);
    responseData_ = std::move(body);
}

std::optional<Error> HTTPRequest::judgeAnswer(std::string_view payloadMd5) {
    if (detail::isSuccess(responseStatus_))
        return protocol_->accept(*this, payloadMd5);
    return protocol_->describe(*this);
}

}  // namespace quilo
