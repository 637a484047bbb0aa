#include "requestlib/RequestRun.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>

#include "requestlib/S3Xml.hpp"

namespace quilo::detail {
namespace {

constexpr int kMaxRedirects = 5;
constexpr auto kMaxRetryDelay = std::chrono::milliseconds(5000);

std::atomic<int> gMaxRetries{3};
std::atomic<long> gBaseDelayMs{100};

// Calls a hook, if set, shielding the network thread from whatever it throws.
template <class Hook, class... Args>
void call(const Hook& hook, Args&&... args) {
    if (!hook)
        return;
    try {
        hook(std::forward<Args>(args)...);
    } catch (...) {
    }
}

// Failures worth another attempt: the connection broke before any answer, or the service
// said it is overloaded or timed out waiting for us.
bool isTransient(const ExchangeResult& result) {
    if (result.error) {
        const auto& code = result.error->code;
        return result.status == 0 && result.error->kind == ErrorKind::transport &&
               (code == "ConnectionFailed" || code == "ConnectionReset" || code == "EmptyResponse");
    }
    switch (result.status) {
        case 500:
        case 502:
        case 503:
        case 504:
            return true;
        case 400: {
            auto document = parseErrorDocument(result.body);
            return document.value && document.value->code == "RequestTimeout";
        }
        default:
            return false;
    }
}

std::optional<std::string> headerValue(const HeaderMap& headers, std::string_view name) {
    auto found = headers.find(name);
    if (found == headers.end() || found->second.empty())
        return std::nullopt;
    return found->second;
}

// "scheme://authority" of an absolute URL.
std::string origin(const std::string& url) {
    auto scheme = url.find("://");
    if (scheme == std::string::npos)
        return {};
    auto path = url.find('/', scheme + 3);
    return url.substr(0, path);
}

}  // namespace

void RetryPolicy::setMaxRetries(int retries) {
    gMaxRetries = std::max(0, retries);
}
int RetryPolicy::maxRetries() {
    return gMaxRetries;
}
void RetryPolicy::setBaseDelay(std::chrono::milliseconds delay) {
    gBaseDelayMs = std::max<long>(0, static_cast<long>(delay.count()));
}

std::chrono::milliseconds RetryPolicy::delayBeforeRetry(int retry) {
    thread_local std::minstd_rand random{std::random_device{}()};
    long ceiling = gBaseDelayMs.load() << std::min(retry - 1, 16);
    ceiling = std::min<long>(ceiling, kMaxRetryDelay.count());
    // "Equal jitter": at least half the backoff, so retries still spread out under load.
    std::uniform_int_distribution<long> jitter(ceiling / 2, std::max(ceiling / 2, ceiling));
    return std::chrono::milliseconds(jitter(random));
}

struct RequestRun::Exchange {
    ExchangePlan plan;
    Done done;
    int retries = 0;
    int redirects = 0;
    std::string url;  // of the latest attempt
    std::string redirectURL;
    std::string regionHint;
    Engine::ExchangeId id = 0;
};

RequestRun::RequestRun(std::shared_ptr<HTTPRequest> request) : request_(std::move(request)) {}

RequestRun::~RequestRun() {
    // Only a process that exits under a running download gets here without finish().
    if (!ended_ && !temporaryPath_.empty())
        ::unlink(temporaryPath_.c_str());
}

void RequestRun::exchange(ExchangePlan plan, Done done) {
    auto exchange = std::make_shared<Exchange>();
    exchange->plan = std::move(plan);
    exchange->done = std::move(done);
    attempt(exchange);
}

void RequestRun::performSingle() {
    const auto& destination = request_->downloadDestinationPath();
    struct stat info {};
    if (destination && ::stat(destination->c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        finish(Error{ErrorKind::localFile,
                     "IsADirectory",
                     "the download destination " + *destination + " is a directory",
                     0,
                     {}});
        return;
    }
    auto self = shared_from_this();
    exchange({.prepare = [self](AttemptSpec& wire) { return self->request_->prepareAttempt(wire); },
              .reportsHeaders = true,
              .uploadSlot = 0,
              .carriesPayload = true},
             [self](ExchangeResult result) { self->finishWith(std::move(result)); });
}

void RequestRun::attempt(const std::shared_ptr<Exchange>& exchange) {
    if (ended_)
        return;
    AttemptSpec wire;
    wire.redirectURL = exchange->redirectURL;
    wire.regionHint = exchange->regionHint;
    wire.idleTimeoutSeconds = request_->timeOutSeconds();
    wire.caFile = HTTPRequest::defaultCAFile();
    wire.accurateProgress = request_->showAccurateProgress();
    if (auto error = exchange->plan.prepare(wire)) {
        ExchangeResult result;
        result.error = std::move(error);
        exchange->done(std::move(result));
        return;
    }
    exchange->url = wire.url;
    if (exchange->plan.carriesPayload && request_->downloadDestinationPath())
        wire.bodyPath = temporaryPath();
    if (exchange->plan.uploadSlot && !uploadTotalKnown_)
        setUploadTotal(wire.bodySize());

    auto self = shared_from_this();
    ExchangeHandlers handlers;
    if (exchange->plan.reportsHeaders) {
        handlers.onHeaders = [self](int status, const HeaderMap& headers) {
            // Other answers may yet be retried or followed; they are reported once settled.
            if (status >= 200 && status < 300 && !self->ended_)
                call(self->request_->hooks_.headersReceived, std::optional<HeaderMap>(headers));
        };
    }
    if (auto slot = exchange->plan.uploadSlot) {
        handlers.onSent = [self, slot = *slot](std::uint64_t sent) {
            self->uploadSlotProgress(slot, sent);
        };
    }
    if (exchange->plan.carriesPayload) {
        handlers.onReceived = [self](std::uint64_t received, std::uint64_t total) {
            self->reportDownload(received, total);
        };
    }
    handlers.onDone = [self, exchange](ExchangeResult result) {
        self->attemptDone(exchange, std::move(result));
    };
    exchange->id = Engine::instance().start(std::move(wire), std::move(handlers));
    live_.insert(exchange->id);
}

void RequestRun::attemptDone(const std::shared_ptr<Exchange>& exchange, ExchangeResult result) {
    live_.erase(exchange->id);
    if (ended_)
        return;
    auto self = shared_from_this();
    if (isTransient(result) && exchange->retries < RetryPolicy::maxRetries()) {
        ++exchange->retries;
        if (auto slot = exchange->plan.uploadSlot)
            uploadInFlight_[*slot] = 0;
        Engine::instance().postAfter(RetryPolicy::delayBeforeRetry(exchange->retries),
                                     [self, exchange] { self->attempt(exchange); });
        return;
    }
    bool redirect =
        !result.error && (result.status == 301 || result.status == 307 || result.status == 308);
    if (redirect) {
        auto location = headerValue(result.headers, "Location");
        auto region = headerValue(result.headers, "x-amz-bucket-region");
        if (location || region) {
            if (exchange->redirects >= kMaxRedirects) {
                result.error =
                    Error{ErrorKind::service,
                          "TooManyRedirects",
                          "gave up after " + std::to_string(kMaxRedirects) + " redirects",
                          result.status,
                          {}};
            } else {
                ++exchange->redirects;
                if (location) {
                    exchange->redirectURL =
                        location->starts_with("/") ? origin(exchange->url) + *location : *location;
                }
                if (region)
                    exchange->regionHint = *region;
                if (auto slot = exchange->plan.uploadSlot)
                    uploadInFlight_[*slot] = 0;
                call(request_->hooks_.redirected);
                Engine::instance().post([self, exchange] { self->attempt(exchange); });
                return;
            }
        }
    }
    if (exchange->plan.reportsHeaders && result.status != 0 &&
        !(result.status >= 200 && result.status < 300))
        call(request_->hooks_.headersReceived, std::optional<HeaderMap>(result.headers));
    exchange->done(std::move(result));
}

void RequestRun::finishWith(ExchangeResult result) {
    if (ended_)
        return;
    if (result.error) {
        finish(recordFailure(std::move(result)));
        return;
    }
    HTTPRequest& request = *request_;
    request.receivedMd5_ = std::move(result.bodyMd5);
    request.sentMd5_ = std::move(result.sentMd5);
    request.receivedBytes_ = result.bodyBytes;
    request.recordAnswer(result.status, std::move(result.headers), std::move(result.body));
    finish(request.judgeAnswer());
}

Error RequestRun::recordFailure(ExchangeResult result) {
    HTTPRequest& request = *request_;
    if (result.status != 0)
        request.recordAnswer(result.status, std::move(result.headers), std::move(result.body));
    if (result.error)
        return std::move(*result.error);
    if (result.status >= 200 && result.status < 300) {
        if (auto error = request.acceptResponse())
            return *error;
        return Error{ErrorKind::response,
                     "UnexpectedResponse",
                     "the answer could not be used",
                     result.status,
                     {}};
    }
    return request.errorForResponse();
}

void RequestRun::abortExchanges() {
    for (auto id : live_)
        Engine::instance().abort(id);
    live_.clear();
}

void RequestRun::finish(std::optional<Error> error) {
    if (ended_)
        return;
    ended_ = true;
    cancelHandler_ = nullptr;  // it may hold what holds this run
    abortExchanges();
    if (auto fileError = settleDownload(!error))
        error = std::move(fileError);
    if (!error) {
        // Progress always ends at the total, even when the last chunk went unreported.
        if (uploadTotalKnown_ && request_->hooks_.bytesSent &&
            (reportedSent_ < uploadTotal_ || uploadTotal_ == 0))
            call(request_->hooks_.bytesSent, uploadTotal_, uploadTotal_);
        std::uint64_t received = request_->receivedBytes_;
        if (request_->hooks_.bytesReceived && (reportedReceived_ < received || received == 0))
            call(request_->hooks_.bytesReceived, received, std::max(downloadTotal_, received));
    }
    auto request = request_;
    request->end(std::move(error));
}

void RequestRun::cancel() {
    // Once the handler has taken over, the request ends when the handler says so: a second
    // cancel must not cut short what it does (aborting a multipart upload, for one).
    if (ended_ || cancelling_)
        return;
    if (cancelHandler_) {
        cancelling_ = true;
        auto handler = std::move(cancelHandler_);
        cancelHandler_ = nullptr;
        handler();
        return;
    }
    finish(Error{ErrorKind::cancelled, "Cancelled", "the request was cancelled", 0, {}});
}

void RequestRun::uploadSlotProgress(int slot, std::uint64_t sent) {
    uploadInFlight_[slot] = sent;
    reportUpload();
}

void RequestRun::uploadSlotDone(int slot, std::uint64_t size) {
    uploadInFlight_.erase(slot);
    uploadDone_ += size;
    reportUpload();
}

void RequestRun::reportUpload() {
    std::uint64_t sent = uploadDone_;
    for (const auto& [slot, bytes] : uploadInFlight_)
        sent += bytes;
    // A retried body starts again from zero; the caller only ever sees the count grow.
    if (sent <= reportedSent_ || ended_)
        return;
    reportedSent_ = sent;
    call(request_->hooks_.bytesSent, sent, uploadTotal_);
}

void RequestRun::reportDownload(std::uint64_t received, std::uint64_t total) {
    if (total)
        downloadTotal_ = total;
    if (received <= reportedReceived_ || ended_)
        return;
    reportedReceived_ = received;
    call(request_->hooks_.bytesReceived, received, downloadTotal_);
}

const std::string& RequestRun::temporaryPath() {
    if (temporaryPath_.empty()) {
        static std::atomic<unsigned> counter{0};
        temporaryPath_ = *request_->downloadDestinationPath() + "." + std::to_string(::getpid()) +
                         "-" + std::to_string(++counter) + ".download";
    }
    return temporaryPath_;
}

std::optional<Error> RequestRun::settleDownload(bool success) {
    if (temporaryPath_.empty())
        return std::nullopt;
    if (!success) {
        ::unlink(temporaryPath_.c_str());
        return std::nullopt;
    }
    const std::string& destination = *request_->downloadDestinationPath();
    // An empty body never created the file.
    int fd = ::open(temporaryPath_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0)
        ::close(fd);
    if (fd < 0 || ::rename(temporaryPath_.c_str(), destination.c_str()) != 0) {
        Error error{ErrorKind::localFile,
                    "CannotWriteFile",
                    "cannot move the download into " + destination + ": " + std::strerror(errno),
                    0,
                    {}};
        ::unlink(temporaryPath_.c_str());
        return error;
    }
    return std::nullopt;
}

}  // namespace quilo::detail
