#include "requestlib/Engine.hpp"

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "quilo/requestlib/HTTPRequest.hpp"
#include "requestlib/OverlappedDigest.hpp"
#include "requestlib/ResponseHeaders.hpp"
#include "requestlib/Text.hpp"

namespace quilo::detail {
namespace {

using Clock = std::chrono::steady_clock;

// Progress reports that are not asked to be accurate come at most this often.
constexpr auto kCoarseProgressInterval = std::chrono::milliseconds(100);
constexpr long kBufferBytes = 256 * 1024;
// Upper bound on one wait for sockets, so that the stop flag is seen promptly.
constexpr long kMaxPollMilliseconds = 1000;

Error errorFor(CURLcode code, const char* detail, int status) {
    std::string message = detail && *detail ? detail : curl_easy_strerror(code);
    switch (code) {
        case CURLE_OPERATION_TIMEDOUT:
            return {ErrorKind::timeout, "Timeout", message, status, {}};
        case CURLE_COULDNT_CONNECT:
            return {ErrorKind::transport, "ConnectionFailed", message, status, {}};
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return {ErrorKind::transport, "HostNotFound", message, status, {}};
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_USE_SSL_FAILED:
            return {ErrorKind::tls, "TLSFailure", message, status, {}};
        case CURLE_URL_MALFORMAT:
        case CURLE_UNSUPPORTED_PROTOCOL:
            return {ErrorKind::misuse, "InvalidURL", message, status, {}};
        case CURLE_GOT_NOTHING:
            return {ErrorKind::transport, "EmptyResponse", message, status, {}};
        case CURLE_PARTIAL_FILE:
            return {ErrorKind::transport, "TruncatedResponse", message, status, {}};
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
            return {ErrorKind::transport, "ConnectionReset", message, status, {}};
        default:
            return {ErrorKind::transport, "TransportError", message, status, {}};
    }
}

}  // namespace

// One exchange in flight: the curl handle and everything its callbacks touch. Callbacks run on
// the engine thread, inside curl_multi_perform.
struct Exchange {
    Engine::ExchangeId id = 0;
    CURL* easy = nullptr;
    curl_slist* headerList = nullptr;
    AttemptSpec wire;
    ExchangeHandlers handlers;
    char curlError[CURL_ERROR_SIZE] = {};

    int bodyFd = -1;
    std::uint64_t bodySent = 0;
    OverlappedDigest sentDigest;

    ResponseHeaders head;

    bool sinkChosen = false;
    bool payloadBody = false;  // a 2xx body: counts as bytes received
    int sinkFd = -1;
    std::string body;
    std::uint64_t bodyBytes = 0;
    OverlappedDigest bodyDigest;

    std::optional<Error> localError;

    std::uint64_t reportedSent = 0;
    std::uint64_t reportedReceived = 0;
    Clock::time_point lastReport{};

    ~Exchange() {
        if (easy)
            curl_easy_cleanup(easy);
        if (headerList)
            curl_slist_free_all(headerList);
        if (bodyFd >= 0)
            ::close(bodyFd);
        if (sinkFd >= 0)
            ::close(sinkFd);
    }

    int status() const { return head.status(); }
    bool isSuccess() const { return status() >= 200 && status() < 300; }

    void fail(Error error) {
        if (!localError)
            localError = std::move(error);
    }

    // --- curl callbacks ---------------------------------------------------------------

    static size_t onHeaderLine(char* data, size_t size, size_t count, void* self) {
        return static_cast<Exchange*>(self)->headerLine(std::string_view(data, size * count));
    }

    size_t headerLine(std::string_view line) {
        switch (head.feed(line)) {
            case ResponseHeaders::Step::complete:
                if (handlers.onHeaders)
                    handlers.onHeaders(head.status(), head.headers());
                break;
            case ResponseHeaders::Step::refused: {
                bool tooLarge = head.refusal() == ResponseHeaders::Refusal::tooLarge;
                fail({ErrorKind::response,
                      tooLarge ? "ResponseTooLarge" : "MalformedResponse",
                      head.problem(),
                      head.status(),
                      {}});
                return 0;  // ends the transfer
            }
            case ResponseHeaders::Step::more:
                break;
        }
        return line.size();
    }

    static size_t onBody(char* data, size_t size, size_t count, void* self) {
        return static_cast<Exchange*>(self)->bodyChunk(data, size * count);
    }

    size_t bodyChunk(const char* data, size_t size) {
        if (!sinkChosen) {
            sinkChosen = true;
            payloadBody = isSuccess();
            if (payloadBody && wire.bodyPath) {
                sinkFd =
                    ::open(wire.bodyPath->c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
                if (sinkFd < 0) {
                    fail({ErrorKind::localFile,
                          "CannotWriteFile",
                          "cannot write " + *wire.bodyPath + ": " + std::strerror(errno),
                          0,
                          {}});
                    return 0;
                }
            }
        }
        if (sinkFd >= 0) {
            for (size_t written = 0; written < size;) {
                ssize_t n = ::write(sinkFd, data + written, size - written);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0) {
                    fail({ErrorKind::localFile,
                          "CannotWriteFile",
                          "cannot write " + *wire.bodyPath + ": " + std::strerror(errno),
                          0,
                          {}});
                    return 0;
                }
                written += static_cast<size_t>(n);
            }
        } else {
            std::size_t limit = payloadBody ? wire.maxPayloadMemory : wire.maxMemoryBody;
            if (body.size() + size > limit) {
                fail({ErrorKind::response,
                      "ResponseTooLarge",
                      "the answer is larger than " + std::to_string(limit) + " bytes",
                      status(),
                      {}});
                return 0;
            }
            body.append(data, size);
        }
        if (wire.digestReceivedBody)
            bodyDigest.update(data, size);
        bodyBytes += size;
        return size;
    }

    static size_t onRead(char* buffer, size_t size, size_t count, void* self) {
        return static_cast<Exchange*>(self)->readBody(buffer, size * count);
    }

    size_t readBody(char* buffer, size_t capacity) {
        std::uint64_t left = wire.bodySize() - bodySent;
        size_t wanted = static_cast<size_t>(std::min<std::uint64_t>(capacity, left));
        if (wanted == 0)
            return 0;
        size_t got = 0;
        if (wire.body == AttemptSpec::Body::memory) {
            std::memcpy(buffer, wire.bodyData.data() + bodySent, wanted);
            got = wanted;
        } else {
            while (got < wanted) {
                ssize_t n = ::read(bodyFd, buffer + got, wanted - got);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0) {
                    fail({ErrorKind::localFile,
                          "CannotReadFile",
                          "cannot read " + wire.bodyFile + ": " + std::strerror(errno),
                          0,
                          {}});
                    return CURL_READFUNC_ABORT;
                }
                if (n == 0) {
                    fail({ErrorKind::localFile,
                          "FileChanged",
                          wire.bodyFile + " became shorter while it was being sent",
                          0,
                          {}});
                    return CURL_READFUNC_ABORT;
                }
                got += static_cast<size_t>(n);
            }
        }
        if (wire.digestSentBody)
            sentDigest.update(buffer, got);
        bodySent += got;
        return got;
    }

    static int onSeek(void* self, curl_off_t offset, int origin) {
        auto& exchange = *static_cast<Exchange*>(self);
        if (origin != SEEK_SET || offset != 0)
            return CURL_SEEKFUNC_CANTSEEK;
        return exchange.rewind() ? CURL_SEEKFUNC_OK : CURL_SEEKFUNC_FAIL;
    }

    bool rewind() {
        if (wire.body == AttemptSpec::Body::file &&
            ::lseek(bodyFd, static_cast<off_t>(wire.bodyOffset), SEEK_SET) < 0)
            return false;
        bodySent = 0;
        sentDigest.reset();
        return true;
    }

    static int onProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        static_cast<Exchange*>(self)->progress();
        return 0;
    }

    void progress() {
        std::uint64_t downloaded = bodyBytes;
        bool changed = bodySent != reportedSent || (payloadBody && downloaded != reportedReceived);
        if (!changed)
            return;
        auto now = Clock::now();
        if (!wire.accurateProgress && now - lastReport < kCoarseProgressInterval)
            return;
        lastReport = now;
        if (bodySent != reportedSent) {
            reportedSent = bodySent;
            if (handlers.onSent)
                handlers.onSent(bodySent);
        }
        if (payloadBody && downloaded != reportedReceived) {
            reportedReceived = downloaded;
            if (handlers.onReceived)
                handlers.onReceived(downloaded, expectedBodySize());
        }
    }

    std::uint64_t expectedBodySize() const {
        curl_off_t length = -1;
        curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        return length > 0 ? static_cast<std::uint64_t>(length) : 0;
    }

    // --- set-up -----------------------------------------------------------------------

    std::optional<Error> prepare() {
        // curl sends header lines as given. Callers' strings are checked where they are set,
        // but some reach a header indirectly (an access key or region in Authorization, a host
        // in Host): a line break there would end the header and start another. The value is
        // not quoted back, since Authorization holds the access key.
        for (const auto& [name, value] : wire.headers) {
            if (!isSafeHeaderValue(name) || !isSafeHeaderValue(value))
                return Error{ErrorKind::misuse,
                             "InvalidHeader",
                             isSafeHeaderValue(name)
                                 ? "the " + name + " header would hold a line break or NUL"
                                 : "a header name holds a line break or NUL",
                             0,
                             {}};
        }
        if (wire.body == AttemptSpec::Body::file) {
            bodyFd = ::open(wire.bodyFile.c_str(), O_RDONLY | O_CLOEXEC);
            if (bodyFd < 0)
                return Error{ErrorKind::localFile,
                             "CannotReadFile",
                             "cannot open " + wire.bodyFile + ": " + std::strerror(errno),
                             0,
                             {}};
            if (!rewind())
                return Error{ErrorKind::localFile,
                             "CannotReadFile",
                             "cannot seek in " + wire.bodyFile + ": " + std::strerror(errno),
                             0,
                             {}};
        }
        easy = curl_easy_init();
        if (!easy)
            return Error{ErrorKind::transport, "OutOfMemory", "curl_easy_init failed", 0, {}};

        curl_easy_setopt(easy, CURLOPT_URL, wire.url.c_str());
        curl_easy_setopt(easy, CURLOPT_PRIVATE, this);
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, curlError);
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
        // Keys such as "a/../b" must reach the server exactly as written.
        curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L);
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
        if (wire.caFile)
            curl_easy_setopt(easy, CURLOPT_CAINFO, wire.caFile->c_str());

        // The time-out is an idle time-out: fail only when nothing moves at all.
        long idle = std::max(1L, static_cast<long>(std::ceil(wire.idleTimeoutSeconds)));
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                         static_cast<long>(std::max(1.0, wire.idleTimeoutSeconds * 1000.0)));
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, idle);

        // Larger buffers than curl's defaults: fewer callbacks and system calls per byte moved.
        curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kBufferBytes);
        if (wire.bodySize() > 0)
            curl_easy_setopt(easy, CURLOPT_UPLOAD_BUFFERSIZE, kBufferBytes);
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Exchange::onHeaderLine);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Exchange::onBody);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Exchange::onProgress);
        curl_easy_setopt(easy, CURLOPT_XFERINFODATA, this);

        if (wire.method == "HEAD") {
            curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
        } else if (wire.method == "GET" && wire.body == AttemptSpec::Body::none) {
            curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
        } else if (wire.body == AttemptSpec::Body::none &&
                   (wire.method == "DELETE" || wire.method == "GET")) {
            curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, wire.method.c_str());
        } else {
            // Every method with a body (even an empty one) streams it through onRead, so that
            // curl never adds a form content type of its own.
            curl_easy_setopt(easy, CURLOPT_UPLOAD, 1L);
            curl_easy_setopt(easy, CURLOPT_INFILESIZE_LARGE,
                             static_cast<curl_off_t>(wire.bodySize()));
            curl_easy_setopt(easy, CURLOPT_READFUNCTION, &Exchange::onRead);
            curl_easy_setopt(easy, CURLOPT_READDATA, this);
            curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, &Exchange::onSeek);
            curl_easy_setopt(easy, CURLOPT_SEEKDATA, this);
            if (wire.method != "PUT")
                curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, wire.method.c_str());
        }

        bool hasExpect = false;
        for (const auto& [name, value] : wire.headers) {
            std::string line = name + ": " + value;
            if (value.empty())
                line = name + ";";  // curl's way to send an empty header
            hasExpect = hasExpect || equalsIgnoringCase(name, "Expect");
            headerList = curl_slist_append(headerList, line.c_str());
        }
        // curl would otherwise invent an Expect for large bodies and a default Accept.
        if (!hasExpect)
            headerList = curl_slist_append(headerList, "Expect:");
        headerList = curl_slist_append(headerList, "Accept:");
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headerList);
        return std::nullopt;
    }

    ExchangeResult result(CURLcode code) {
        ExchangeResult out;
        out.status = status();
        if (localError) {
            out.error = std::move(localError);
            out.error->httpStatus = status();
        } else if (code != CURLE_OK) {
            out.error = errorFor(code, curlError, status());
        } else if (status() == 0) {
            out.error = Error{ErrorKind::transport, "EmptyResponse", "no HTTP answer", 0, {}};
        } else if (!head.complete()) {
            // curl takes a connection closed inside the head for the end of the answer.
            out.error = Error{ErrorKind::transport,
                              "TruncatedResponse",
                              "the connection closed inside the answer's headers",
                              status(),
                              {}};
        }
        out.headers = head.takeHeaders();
        out.body = std::move(body);
        out.bodyBytes = bodyBytes;
        if (wire.digestReceivedBody)
            out.bodyMd5 = bodyDigest.hexDigest();
        if (wire.digestSentBody)
            out.sentMd5 = sentDigest.hexDigest();
        return out;
    }
};

struct Engine::Impl {
    CURLM* multi = nullptr;
    std::thread thread;
    std::thread::id threadId;

    std::mutex mutex;
    bool stopping = false;
    std::deque<Task> tasks;
    std::multimap<Clock::time_point, Task> timers;

    // Engine thread only.
    ExchangeId nextId = 1;
    std::unordered_map<ExchangeId, std::unique_ptr<Exchange>> exchanges;

    void loop();
    void runTasks();
    void complete(CURLMsg* message);
    long pollTimeout();
};

Engine& Engine::instance() {
    static Engine engine;
    return engine;
}

Engine::Engine() : impl_(std::make_unique<Impl>()) {
    // The queue must outlive the thread that admits from it: construct it first, so that it is
    // destroyed last.
    HTTPRequest::sharedQueue();
    curl_global_init(CURL_GLOBAL_DEFAULT);
    impl_->multi = curl_multi_init();
    impl_->thread = std::thread([impl = impl_.get()] { impl->loop(); });
    impl_->threadId = impl_->thread.get_id();
}

Engine::~Engine() {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->stopping = true;
    }
    curl_multi_wakeup(impl_->multi);
    // A process may exit from inside a hook; the network thread cannot join itself.
    if (onEngineThread())
        impl_->thread.detach();
    else if (impl_->thread.joinable())
        impl_->thread.join();
    if (!onEngineThread()) {
        for (auto& [id, exchange] : impl_->exchanges)
            curl_multi_remove_handle(impl_->multi, exchange->easy);
        impl_->exchanges.clear();
        impl_->tasks.clear();
        impl_->timers.clear();
        curl_multi_cleanup(impl_->multi);
    }
}

void Engine::post(Task task) {
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->stopping)
            return;
        impl_->tasks.push_back(std::move(task));
    }
    if (!onEngineThread())
        curl_multi_wakeup(impl_->multi);
}

void Engine::postAfter(std::chrono::milliseconds delay, Task task) {
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->stopping)
            return;
        impl_->timers.emplace(Clock::now() + delay, std::move(task));
    }
    if (!onEngineThread())
        curl_multi_wakeup(impl_->multi);
}

bool Engine::onEngineThread() const {
    return std::this_thread::get_id() == impl_->threadId;
}

Engine::ExchangeId Engine::start(AttemptSpec wire, ExchangeHandlers handlers) {
    auto exchange = std::make_unique<Exchange>();
    exchange->id = impl_->nextId++;
    exchange->wire = std::move(wire);
    exchange->handlers = std::move(handlers);
    ExchangeId id = exchange->id;

    if (auto error = exchange->prepare()) {
        // Report on the next turn of the loop, as if the exchange had run, so that callers never
        // see their completion before start() returns.
        post([done = std::move(exchange->handlers.onDone), error = std::move(*error)] {
            ExchangeResult result;
            result.error = error;
            if (done)
                done(std::move(result));
        });
        return id;
    }
    if (curl_multi_add_handle(impl_->multi, exchange->easy) != CURLM_OK) {
        post([done = std::move(exchange->handlers.onDone)] {
            ExchangeResult result;
            result.error = Error{
                ErrorKind::transport, "TransportError", "the exchange could not be started", 0, {}};
            if (done)
                done(std::move(result));
        });
        return id;
    }
    impl_->exchanges.emplace(id, std::move(exchange));
    return id;
}

void Engine::abort(ExchangeId id) {
    auto found = impl_->exchanges.find(id);
    if (found == impl_->exchanges.end())
        return;
    curl_multi_remove_handle(impl_->multi, found->second->easy);
    impl_->exchanges.erase(found);
}

void Engine::Impl::loop() {
    while (true) {
        {
            std::lock_guard lock(mutex);
            if (stopping)
                return;
        }
        runTasks();
        int running = 0;
        curl_multi_perform(multi, &running);
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
            if (message->msg == CURLMSG_DONE)
                complete(message);
        }
        curl_multi_poll(multi, nullptr, 0, static_cast<int>(pollTimeout()), nullptr);
    }
}

void Engine::Impl::runTasks() {
    std::deque<Task> due;
    {
        std::lock_guard lock(mutex);
        due.swap(tasks);
        auto now = Clock::now();
        auto end = timers.upper_bound(now);
        for (auto it = timers.begin(); it != end; ++it)
            due.push_back(std::move(it->second));
        timers.erase(timers.begin(), end);
    }
    while (!due.empty()) {
        // Each task goes as soon as it has run, releasing what it captured (often a request).
        Task task = std::move(due.front());
        due.pop_front();
        try {
            task();
        } catch (...) {
            // A throwing hook must not take the network thread down with it.
        }
    }
}

void Engine::Impl::complete(CURLMsg* message) {
    Exchange* raw = nullptr;
    curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, reinterpret_cast<char**>(&raw));
    CURLcode code = message->data.result;
    auto found = exchanges.find(raw->id);
    if (found == exchanges.end())
        return;
    std::unique_ptr<Exchange> exchange = std::move(found->second);
    exchanges.erase(found);
    curl_multi_remove_handle(multi, exchange->easy);
    if (exchange->sinkFd >= 0) {
        if (::close(exchange->sinkFd) != 0)
            exchange->fail(
                {ErrorKind::localFile,
                 "CannotWriteFile",
                 "cannot write " + *exchange->wire.bodyPath + ": " + std::strerror(errno),
                 0,
                 {}});
        exchange->sinkFd = -1;
    }
    exchange->progress();
    ExchangeResult result = exchange->result(code);
    auto done = std::move(exchange->handlers.onDone);
    exchange.reset();
    try {
        if (done)
            done(std::move(result));
    } catch (...) {
    }
}

long Engine::Impl::pollTimeout() {
    long timeout = -1;
    curl_multi_timeout(multi, &timeout);
    if (timeout < 0 || timeout > kMaxPollMilliseconds)
        timeout = kMaxPollMilliseconds;
    std::lock_guard lock(mutex);
    if (!tasks.empty())
        return 0;
    if (!timers.empty()) {
        auto wait =
            std::chrono::ceil<std::chrono::milliseconds>(timers.begin()->first - Clock::now())
                .count();
        timeout = std::clamp<long>(wait, 0, timeout);
    }
    return timeout;
}

}  // namespace quilo::detail
