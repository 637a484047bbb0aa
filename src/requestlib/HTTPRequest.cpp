#include "quilo/requestlib/HTTPRequest.hpp"

#include <sys/stat.h>

#include <cmath>

#include "quilo/requestlib/HTTPRequestQueue.hpp"
#include "quilo/requestlib/RequestTransport.hpp"
#include "requestlib/Attempt.hpp"
#include "requestlib/Engine.hpp"
#include "requestlib/RequestRun.hpp"
#include "requestlib/Text.hpp"

namespace quilo {
namespace {

std::mutex gDefaultsMutex;
std::optional<std::string> gDefaultCAFile;

Error misuse(std::string code, std::string message) {
    return Error{ErrorKind::misuse, std::move(code), std::move(message), 0, {}};
}

template <class Hook>
void callHook(const Hook& hook) {
    if (!hook)
        return;
    try {
        hook();
    } catch (...) {
        // A throwing hook must not take the network thread down with it.
    }
}

}  // namespace

HTTPRequest::HTTPRequest() = default;

HTTPRequest::HTTPRequest(std::optional<std::string> url) : url_(std::move(url)) {}

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
    if (!detail::isHeaderName(method)) {
        failBeforeSending(misuse("InvalidMethod", "\"" + method + "\" is not an HTTP method"));
        return;
    }
    method_ = std::move(method);
}

void HTTPRequest::addRequestHeader(std::string name, std::string value) {
    if (!configurable())
        return;
    if (!detail::isHeaderName(name) || !detail::isSafeHeaderValue(name)) {
        failBeforeSending(misuse("InvalidHeader", "a header name must be an HTTP token"));
        return;
    }
    if (!detail::isSafeHeaderValue(value)) {
        failBeforeSending(misuse("InvalidHeader",
                                 "the value of header \"" + name + "\" holds a line break or NUL"));
        return;
    }
    headers_.emplace_back(std::move(name), std::move(value));
}

void HTTPRequest::setPostBody(std::string body) {
    if (configurable())
        postBody_ = std::move(body);
}

void HTTPRequest::setUploadFilePath(std::optional<std::string> path) {
    if (configurable())
        uploadFilePath_ = std::move(path);
}

void HTTPRequest::setTimeOutSeconds(double seconds) {
    if (!configurable())
        return;
    // NaN, infinities and non-positive values would disable the time-out or fail at once.
    if (!std::isfinite(seconds) || seconds <= 0) {
        failBeforeSending(misuse("InvalidTimeOut", "the time-out must be a positive number"));
        return;
    }
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

void HTTPRequest::failBeforeSending(Error error) {
    if (configurable() && !pendingError_)
        pendingError_ = std::move(error);
}

HTTPRequest::State HTTPRequest::state() const {
    std::lock_guard lock(stateMutex_);
    return state_;
}

void HTTPRequest::startAsynchronous() {
    auto self = weak_from_this().lock();
    {
        std::lock_guard lock(stateMutex_);
        if (state_ != State::ready)
            return;
        if (!self) {
            // Nothing would keep the request alive while it runs, and no hook can be trusted
            // with it: fail at once, without hooks.
            state_ = State::failed;
            error_ = misuse("NotShared", "a request must be owned by a std::shared_ptr to start");
            return;
        }
        state_ = State::waiting;
    }
    if (pendingError_) {
        detail::Engine::instance().post([self] { self->end(self->pendingError_); });
        return;
    }
    sharedQueue().enqueue(std::move(self));
}

void HTTPRequest::cancel() {
    auto self = weak_from_this().lock();
    Error cancelled{ErrorKind::cancelled, "Cancelled", "the request was cancelled", 0, {}};
    if (configurable() || !self) {
        failBeforeSending(std::move(cancelled));
        return;
    }
    detail::Engine::instance().post([self, cancelled] {
        if (sharedQueue().withdraw(*self)) {
            self->end(cancelled);
        } else if (self->run_) {
            auto run = self->run_;
            run->cancel();
        } else {
            self->end(cancelled);
        }
    });
}

void HTTPRequest::begin(const std::shared_ptr<RequestTransport>& transport) {
    auto self = shared_from_this();
    {
        std::lock_guard lock(stateMutex_);
        state_ = State::running;
        admitted_ = true;
    }
    callHook(hooks_.started);
    if (state() != State::running)
        return;  // the started hook may not end it, but be sure
    if (transport) {
        transport->perform(self);
        return;
    }
    run_ = std::make_shared<detail::RequestRun>(self);
    auto run = run_;
    perform(*run);
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
    callHook(error_ ? hooks.failed : hooks.completion);
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

std::optional<Error> HTTPRequest::judgeAnswer() {
    if (responseStatus_ >= 200 && responseStatus_ < 300)
        return acceptResponse();
    return errorForResponse();
}

std::optional<Error> HTTPRequest::prepareAttempt(detail::AttemptSpec& attempt) {
    if (attempt.url.empty()) {
        if (!attempt.redirectURL.empty())
            attempt.url = attempt.redirectURL;
        else if (url_ && !url_->empty())
            attempt.url = *url_;
        else
            return misuse("MissingURL", "the request has no URL");
    }
    attempt.method = method_;
    attempt.headers = headers_;
    if (uploadFilePath_) {
        struct stat info {};
        if (::stat(uploadFilePath_->c_str(), &info) != 0 || !S_ISREG(info.st_mode))
            return Error{ErrorKind::localFile,
                         "CannotReadFile",
                         *uploadFilePath_ + " is not a readable file",
                         0,
                         {}};
        attempt.body = detail::AttemptSpec::Body::file;
        attempt.bodyFile = *uploadFilePath_;
        attempt.bodyOffset = 0;
        attempt.bodyLength = static_cast<std::uint64_t>(info.st_size);
    } else if (!postBody_.empty() || method_ == "PUT" || method_ == "POST") {
        attempt.body = detail::AttemptSpec::Body::memory;
        attempt.bodyData = postBody_;
    }
    return std::nullopt;
}

std::optional<Error> HTTPRequest::acceptResponse() {
    return std::nullopt;
}

Error HTTPRequest::errorForResponse() const {
    return Error{ErrorKind::service,
                 "HTTP" + std::to_string(responseStatus_),
                 "the server answered HTTP " + std::to_string(responseStatus_),
                 responseStatus_,
                 {}};
}

void HTTPRequest::perform(detail::RequestRun& run) {
    run.performSingle();
}

}  // namespace quilo
