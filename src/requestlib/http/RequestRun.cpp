#include "requestlib/http/RequestRun.hpp"

#include <atomic>
#include <charconv>
#include <random>

#include "requestlib/base/Errors.hpp"
#include "requestlib/base/Hooks.hpp"
#include "requestlib/base/Text.hpp"
#include "requestlib/files/DownloadFile.hpp"
#include "requestlib/files/Journal.hpp"
#include "requestlib/files/PayloadSink.hpp"
#include "requestlib/files/SourceFile.hpp"
#include "requestlib/http/Protocol.hpp"
#include "requestlib/http/RangedDownload.hpp"

namespace quilo::detail {
namespace {

constexpr int kMaxRedirects = 5;
constexpr auto kMaxRetryDelay = std::chrono::milliseconds(5000);
// A payload up to this size is digested as it streams by: a thread would cost more than it saves.
constexpr std::uint64_t kDigestInPlaceBytes = 4u << 20;
// How often a finished download looks whether the digest behind its writes has caught up.
constexpr auto kDigestPoll = std::chrono::milliseconds(1);

std::atomic<int> gMaxRetries{3};
std::atomic<long> gBaseDelayMs{100};

std::string headerValue(const HeaderMap& headers, std::string_view name) {
    const auto found = headers.find(name);
    return found == headers.end() ? std::string() : found->second;
}

// The whole payload's size as an answer gives it: after the slash of a range's Content-Range
// ("bytes 0-99/1000"), else its Content-Length; 0 when unknown.
std::uint64_t payloadTotal(int status, const HeaderMap& headers) {
    std::string text = headerValue(headers, status == 206 ? "Content-Range" : "Content-Length");
    if (status == 206)
        text.erase(0, text.find('/') + 1);
    const std::string_view number = trimWhitespace(text);
    std::uint64_t total = 0;
    const auto [end, failure] =
        std::from_chars(number.data(), number.data() + number.size(), total);
    return failure == std::errc() && end == number.data() + number.size() ? total : 0;
}

struct ByteSpan {
    std::uint64_t first = 0, last = 0, total = 0;  // total 0: not given
};

// "bytes 0-99/1000" (or ".../*"), with first <= last.
std::optional<ByteSpan> contentRange(std::string_view text) {
    ByteSpan span;
    const auto read = [&text](std::uint64_t& value, std::string_view end) {
        const auto [stop, failure] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (failure != std::errc() ||
            !std::string_view(stop, text.data() + text.size()).starts_with(end))
            return false;
        text.remove_prefix(static_cast<std::size_t>(stop - text.data()) + end.size());
        return true;
    };
    if (!text.starts_with("bytes "))
        return std::nullopt;
    text.remove_prefix(6);
    if (!read(span.first, "-") || !read(span.last, "/") || span.last < span.first)
        return std::nullopt;
    if (text == "*")
        return span;
    return read(span.total, "") && text.empty() && span.total > span.last ? std::optional(span)
                                                                          : std::nullopt;
}

bool isConditionOrRange(const std::pair<std::string, std::string>& header) {
    return equalsIgnoringCase(header.first, "Range") || toLower(header.first).starts_with("if-");
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

// An exchange on its way: its attempts so far and where the next one goes.
struct RequestRun::Flight {
    Exchange exchange;
    Done done;
    int retries = 0;
    int redirects = 0;
    std::string url, scope;  // of the next attempt; empty: as the preparation says
    std::string sentUrl, sentScope;
    bool headReported = false;
    bool handedOver = false;  // the payload comes in ranges instead
    bool stopped = false;
    Engine::AttemptId id = 0;
};

RequestRun::RequestRun(std::shared_ptr<HTTPRequest> request) : request_(std::move(request)) {}

RequestRun::~RequestRun() = default;

const Protocol& RequestRun::protocol() const {
    return *request_->protocol_;
}

std::variant<std::shared_ptr<const SourceFile>, Error> RequestRun::source() {
    if (!source_) {
        auto opened = SourceFile::open(*request_->uploadFilePath(), request_->followsSymlinks());
        if (auto* error = std::get_if<Error>(&opened))
            return *error;
        source_ = std::get<std::shared_ptr<const SourceFile>>(opened);
    }
    return source_;
}

void RequestRun::guarded(const std::function<void()>& step) {
    try {
        step();
    } catch (...) {
        finish(makeError(
            ErrorKind::response, Code::InternalError,
            std::string("the request could not be carried on: ").append(currentExceptionText())));
    }
}

void RequestRun::exchange(Exchange exchange, Done done) {
    auto flight = std::make_shared<Flight>();
    flight->exchange = std::move(exchange);
    flight->done = std::move(done);
    flights_.emplace(flight.get(), flight);
    attempt(flight);
}

std::optional<Error> RequestRun::preparePayload() {
    if (const auto& destination = request_->downloadDestinationPath()) {
        auto created = DownloadFile::create(*destination, request_->followsSymlinks());
        if (auto* error = std::get_if<Error>(&created))
            return *error;
        file_ = std::move(std::get<std::unique_ptr<DownloadFile>>(created));
        payload_.push_back(std::make_unique<PayloadSink>(*file_, 0, 0));
    } else {
        payload_.push_back(
            std::make_unique<PayloadSink>(protocol().bodyRules(*request_).maxPayload));
    }
    return std::nullopt;
}

PayloadSink& RequestRun::addRange(std::uint64_t offset, std::uint64_t length) {
    return *payload_.emplace_back(std::make_unique<PayloadSink>(*file_, offset, length));
}

std::optional<Error> RequestRun::prepareOwn(Attempt& attempt) {
    if (auto error = prepareBody(attempt))
        return error;
    return protocol().prepare(*request_, attempt);
}

std::variant<BodySource, Error> RequestRun::body() {
    if (body_)
        return *body_;
    if (request_->uploadFilePath()) {
        auto opened = source();
        if (auto* error = std::get_if<Error>(&opened))
            return *error;
        return BodySource::slice(source_, 0, source_->size());
    }
    // The request outlives every attempt's hold on it, and with it the bytes.
    const auto data = request_->uploadData();
    if (!data.empty())
        return BodySource::borrowed(request_, reinterpret_cast<const char*>(data.data()),
                                    data.size());
    const std::string& own = request_->postBody();
    if (!own.empty() || request_->requestMethod() == "PUT" || request_->requestMethod() == "POST")
        return BodySource::borrowed(request_, own.data(), own.size());
    return BodySource();
}

std::optional<Error> RequestRun::prepareBody(Attempt& attempt) {
    auto whole = body();
    if (auto* error = std::get_if<Error>(&whole))
        return *error;
    attempt.body = std::get<BodySource>(std::move(whole));
    attempt.bodySha256 = bodySha256_;
    return std::nullopt;
}

void RequestRun::performSingle() {
    if (auto error = preparePayload())
        return finish(std::move(error));
    auto self = shared_from_this();
    exchange({.prepare = [self](Attempt& attempt) { return self->prepareOwn(attempt); },
              .reportsHeaders = true,
              .uploadSlot = 0,
              .payload = payload_.front().get(),
              .repeatable = request_->requestMethod() != "POST"},
             [self](Answer answer) { self->finishWith(std::move(answer)); });
}

void RequestRun::attempt(const std::shared_ptr<Flight>& flight) {
    if (ended_ || flight->stopped)
        return;
    Attempt attempt;
    attempt.url = flight->url;
    attempt.scope = flight->scope;
    attempt.idleTimeoutSeconds = request_->timeOutSeconds();
    attempt.caFile = HTTPRequest::defaultCAFile();
    attempt.accurateProgress = request_->showAccurateProgress();
    attempt.maxMemoryBody = protocol().bodyRules(*request_).maxOther;
    attempt.repeatable = flight->exchange.repeatable;
    if (auto error = flight->exchange.prepare(attempt))
        return conclude(flight, Answer{.error = std::move(error)});
    flight->sentUrl = attempt.url;
    flight->sentScope = attempt.scope;
    if (PayloadSink* stream = flight->exchange.payload) {
        attempt.payload = stream;
        const std::string range = stream->range();
        if (!range.empty() && !flight->exchange.version.empty()) {
            // A stream goes on from the version it began with, whatever else the request asked.
            std::erase_if(attempt.headers, isConditionOrRange);
            attempt.headers.emplace_back("Range", range);
            attempt.headers.emplace_back("If-Match", flight->exchange.version);
        } else if (request_->range() && stream == payload_.front().get()) {
            attempt.headers.emplace_back("Range", *request_->range());
        }
    }
    if (flight->exchange.uploadSlot && !uploadTotalKnown_)
        setUploadTotal(attempt.body.size());
    flight->id = Engine::instance().start(std::move(attempt), handlersFor(flight));
}

AttemptHandlers RequestRun::handlersFor(const std::shared_ptr<Flight>& flight) {
    auto self = shared_from_this();
    AttemptHandlers handlers;
    handlers.onHead = [self, flight](int status, const HeaderMap& headers) {
        return self->headArrived(*flight, status, headers);
    };
    if (auto slot = flight->exchange.uploadSlot)
        handlers.onSent = [self, slot = *slot](std::uint64_t sent) {
            self->uploadSlotProgress(slot, sent);
        };
    if (flight->exchange.payload)
        handlers.onReceived = [self] { self->reportDownload(); };
    handlers.onDone = [self, flight](Answer answer) {
        self->guarded([&] { self->attemptDone(flight, std::move(answer)); });
    };
    return handlers;
}

// A payload's first answer decides how it comes; an answer that goes on with a stream must go
// on exactly where it stopped, with the same version, or else start it again from nothing.
std::optional<Error> RequestRun::headArrived(Flight& flight, int status, const HeaderMap& headers) {
    if (!isSuccess(status) || ended_)
        return std::nullopt;
    if (flight.exchange.reportsHeaders && !std::exchange(flight.headReported, true))
        callHook(request_->hooks_.headersReceived, std::optional<HeaderMap>(headers));
    PayloadSink* stream = flight.exchange.payload;
    if (!stream)
        return std::nullopt;
    const bool whole = stream == payload_.front().get();
    if (whole && stream->size() == 0)
        return firstAnswer(flight, status, headers);
    if (status == 206 && !flight.exchange.version.empty()) {
        const std::string range = headerValue(headers, "Content-Range"),
                          expected = stream->expectedRange(resourceTotal_);
        const std::string etag = headerValue(headers, "ETag");
        if (etag != flight.exchange.version)
            return makeError(ErrorKind::response, Code::MalformedResponse,
                             "a partial answer is of version " + etag + ", not of " +
                                 flight.exchange.version + " that the download began with",
                             status);
        if (stream->length() > 0 ? range == expected : range.starts_with(expected))
            return std::nullopt;
        return makeError(ErrorKind::response, Code::MalformedResponse,
                         "the answer covers \"" + range + "\", not \"" + expected + "\"", status);
    }
    if (!whole || request_->range())
        return makeError(ErrorKind::response, Code::MalformedResponse,
                         "a range was answered with the whole resource", status);
    if (auto error = stream->restart())
        return error;
    expectWhole(status, headers);
    return std::nullopt;
}

// The whole payload's size, from its first answer: what every later answer must agree with.
void RequestRun::expectWhole(int status, const HeaderMap& headers) {
    resourceTotal_ = downloadTotal_ = payloadTotal(status, headers);
    if (status == 200 && request_->requestMethod() == "GET")
        payload_.front()->expect(downloadTotal_);
}

// The range asked for is where the answer says it lies: its bytes are the payload, and a
// resumption asks for the rest of them.
std::optional<Error> RequestRun::expectRange(int status, const HeaderMap& headers) {
    const auto span = contentRange(headerValue(headers, "Content-Range"));
    if (status != 206 || !span)
        return makeError(ErrorKind::response, Code::MalformedResponse,
                         status == 206 ? "a partial answer names no range it covers"
                                       : "a range was answered with the whole resource",
                         status);
    resourceTotal_ = span->total;
    downloadTotal_ = span->last - span->first + 1;
    payload_.front()->setOrigin(span->first);
    payload_.front()->expect(downloadTotal_);
    return std::nullopt;
}

// A large download into a file whose server takes ranges comes in ranges at once instead; the
// digest, where the protocol checks one, is taken behind the writes once a thread pays off.
std::optional<Error> RequestRun::firstAnswer(Flight& flight, int status, const HeaderMap& headers) {
    if (!request_->range())
        expectWhole(status, headers);
    else if (auto error = expectRange(status, headers))
        return error;
    const std::string etag = headerValue(headers, "ETag");
    const bool seekable = file_ && !file_->streams();
    flight.handedOver = seekable && status == 200 && request_->requestMethod() == "GET" &&
                        downloadTotal_ > protocol().bodyRules(*request_).rangesAbove &&
                        !etag.empty() && !etag.starts_with("W/") &&
                        equalsIgnoringCase(headerValue(headers, "Accept-Ranges"), "bytes");
    if (protocol().checksPayload(*request_, status, headers)) {
        const bool large =
            downloadTotal_ > kDigestInPlaceBytes || !headers.contains("Content-Length");
        // A stream's writer hashes it, off the thread that reads the socket.
        const bool behind = file_ && (file_->streams() || flight.handedOver || large);
        behind ? file_->digest() : payload_.front()->digest();
    }
    if (flight.handedOver)  // ends this attempt; attemptDone hands over
        return makeError(ErrorKind::cancelled, Code::Cancelled, "fetched in ranges instead");
    return seekable ? file_->checkRoom(downloadTotal_) : std::nullopt;
}

void RequestRun::attemptDone(const std::shared_ptr<Flight>& flight, Answer answer) {
    if (ended_ || flight->stopped)
        return;
    if (flight->handedOver) {
        flights_.erase(flight.get());
        return RangedDownload::start(shared_from_this(), answer.status, std::move(answer.headers));
    }
    if (auto slot = flight->exchange.uploadSlot)
        uploadInFlight_[*slot] = 0;
    if (tryAgain(flight, answer) || follow(flight, answer))
        return;
    PayloadSink* stream = flight->exchange.payload;
    if (stream && !answer.error && isSuccess(answer.status))
        answer.error = stream->complete(answer.status);
    conclude(flight, std::move(answer));
}

bool RequestRun::tryAgain(const std::shared_ptr<Flight>& flight, const Answer& answer) {
    std::optional<std::chrono::milliseconds> least =
        protocol().retry(answer, flight->exchange.repeatable);
    if (resumes(*flight, answer))
        least = std::chrono::milliseconds(0);
    if (!least || flight->retries >= RetryPolicy::maxRetries())
        return false;
    const auto wait = std::max(*least, RetryPolicy::delayBeforeRetry(++flight->retries));
    auto self = shared_from_this();
    Engine::instance().postAfter(wait, [self, flight] { self->attempt(flight); });
    return true;
}

// A payload cut short goes on with a range, once the version it must come from is known (a
// range's from the start, the whole answer's from the ETag it named) and where it ends.
bool RequestRun::resumes(Flight& flight, const Answer& answer) const {
    const PayloadSink* stream = flight.exchange.payload;
    if (!stream || answer.fault != Fault::cut || !isSuccess(answer.status) ||
        request_->requestMethod() != "GET" || stream->length() == 0 ||
        (stream->size() == 0 && flight.exchange.version.empty()))
        return false;
    const std::string etag = headerValue(answer.headers, "ETag");
    if (flight.exchange.version.empty() && !etag.starts_with("W/"))
        flight.exchange.version = etag;
    return !flight.exchange.version.empty();
}

bool RequestRun::follow(const std::shared_ptr<Flight>& flight, Answer& answer) {
    if (answer.error || answer.status < 300 || !flight->exchange.followsRedirects)
        return false;
    Attempt sent;
    sent.url = flight->sentUrl;
    sent.scope = flight->sentScope;
    sent.redirects = flight->redirects;
    Redirect redirect = protocol().redirect(*request_, answer, sent);
    if (redirect.verdict == Redirect::Verdict::refuse) {
        answer.error = std::move(redirect.refusal);
        return false;
    }
    // A redirect that would send the same request again is no redirect.
    if (redirect.verdict == Redirect::Verdict::none ||
        (redirect.url == sent.url && redirect.scope == sent.scope))
        return false;
    if (flight->redirects >= kMaxRedirects) {
        answer.error = makeError(ErrorKind::service, Code::TooManyRedirects,
                                 "gave up after " + std::to_string(kMaxRedirects) + " redirects",
                                 answer.status);
        return false;
    }
    ++flight->redirects;
    flight->url = std::move(redirect.url);
    flight->scope = std::move(redirect.scope);
    callHook(request_->hooks_.redirected);
    auto self = shared_from_this();
    Engine::instance().post([self, flight] { self->attempt(flight); });
    return true;
}

void RequestRun::conclude(const std::shared_ptr<Flight>& flight, Answer answer) {
    flights_.erase(flight.get());
    if (flight->exchange.reportsHeaders && answer.status != 0 && !isSuccess(answer.status))
        callHook(request_->hooks_.headersReceived, std::optional<HeaderMap>(answer.headers));
    auto done = std::move(flight->done);
    done(std::move(answer));
}

void RequestRun::finishWith(Answer answer, const std::function<std::optional<Error>()>& judge) {
    if (ended_)
        return;
    if (answer.error)
        return finish(recordFailure(std::move(answer)));
    const bool payload = !payload_.empty() && isSuccess(answer.status);
    std::string body = payload ? payload_.front()->takeMemory() : std::move(answer.body);
    request_->recordAnswer(answer.status, std::move(answer.headers), std::move(body));
    if (judge || !payload)
        return finish(judge ? judge() : request_->judgeAnswer({}));
    judgeOnceDigested();
}

// The digest behind a download's writes may still be catching up with the last of them.
void RequestRun::judgeOnceDigested() {
    if (ended_)
        return;
    const bool behind = file_ && file_->digesting();
    const auto md5 = behind ? file_->md5(received()) : std::optional(payload_.front()->md5());
    if (md5 && md5->empty() && behind)
        return finish(makeError(ErrorKind::localFile, Code::CannotReadFile,
                                "the download could not be read back to be checked"));
    if (md5)
        return finish(request_->judgeAnswer(*md5));
    auto self = shared_from_this();
    Engine::instance().postAfter(kDigestPoll,
                                 [self] { self->guarded([&] { self->judgeOnceDigested(); }); });
}

Error RequestRun::recordFailure(Answer answer) {
    if (answer.status != 0)
        request_->recordAnswer(answer.status, std::move(answer.headers), std::move(answer.body));
    if (answer.error)
        return std::move(*answer.error);
    if (auto error = request_->judgeAnswer({}))
        return *error;
    return makeError(ErrorKind::response, Code::UnexpectedResponse, "the answer could not be used",
                     answer.status);
}

void RequestRun::abortExchanges() {
    for (const auto& [raw, weak] : flights_) {
        if (auto flight = weak.lock()) {
            flight->stopped = true;
            Engine::instance().stop(flight->id);
        }
    }
    flights_.clear();
}

void RequestRun::finish(std::optional<Error> error) {
    if (ended_)
        return;
    ended_ = true;
    cancelHandler_ = nullptr;  // it may hold what holds this run
    abortExchanges();
    const bool received = !payload_.empty();
    const std::uint64_t size = this->received();
    error = settle(std::move(error));
    if (!error) {
        // Progress always ends at the total, even when the last chunk went unreported.
        const auto& hooks = request_->hooks_;
        if (uploadTotalKnown_ && (reportedSent_ < uploadTotal_ || uploadTotal_ == 0))
            callHook(hooks.bytesSent, uploadTotal_, uploadTotal_);
        if (received && (reportedReceived_ < size || size == 0))
            callHook(hooks.bytesReceived, size, std::max(downloadTotal_, size));
    }
    auto request = request_;
    request->end(std::move(error));
}

// A successful request ends with its download in place and its upload file as it began.
std::optional<Error> RequestRun::settle(std::optional<Error> error) {
    if (!error && source_)
        error = source_->changed();
    if (!error && file_)
        error = file_->commit();
    // In place or removed, the file is no longer to be carried on; a journal that another
    // process has meanwhile given to a file of its own stays.
    const auto& journal = request_->resumeJournal();
    if (const auto left = file_ && journal ? DownloadJournal::read(*journal) : std::nullopt;
        left && left->temporary == file_->temporary())
        removeJournal(*journal);
    payload_.clear();
    file_.reset();  // removed, unless committed
    return error;
}

void RequestRun::cancel() {
    // Once the handler has taken over, the request ends when the handler says so: a second
    // cancel must not cut short what it does (aborting a multipart upload, for one).
    if (ended_ || cancelling_)
        return;
    if (cancelHandler_) {
        cancelling_ = true;
        auto handler = std::exchange(cancelHandler_, nullptr);
        handler();
        return;
    }
    finish(cancelledError());
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
    // A retried body starts again from zero, and a file that grew must not pass its total: the
    // caller only ever sees the count grow up to the total.
    if (uploadTotalKnown_ && uploadTotal_ > 0)
        sent = std::min(sent, uploadTotal_);
    if (sent <= reportedSent_ || ended_)
        return;
    reportedSent_ = sent;
    callHook(request_->hooks_.bytesSent, sent, uploadTotal_);
}

std::uint64_t RequestRun::received() const {
    std::uint64_t received = 0;
    for (const auto& stream : payload_)
        received += stream->size();
    return received;
}

void RequestRun::reportDownload() {
    const std::uint64_t received = this->received();
    if (received <= reportedReceived_ || ended_)
        return;
    reportedReceived_ = received;
    callHook(request_->hooks_.bytesReceived, received, downloadTotal_);
}

}  // namespace quilo::detail
