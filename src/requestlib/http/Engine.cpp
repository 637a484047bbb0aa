#include "requestlib/http/Engine.hpp"

#include <curl/curl.h>
#include <pthread.h>

#include <csignal>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>
#include <unordered_map>

#include "quilo/requestlib/http/HTTPRequest.hpp"
#include "requestlib/base/Errors.hpp"
#include "requestlib/base/Text.hpp"
#include "requestlib/files/PayloadSink.hpp"
#include "requestlib/files/SourceFile.hpp"
#include "requestlib/http/CurlHandle.hpp"
#include "requestlib/http/ResponseHeaders.hpp"
#include "requestlib/http/Sockets.hpp"

namespace quilo::detail {
namespace {

using Clock = std::chrono::steady_clock;

// Progress reports that are not asked to be accurate come at most this often.
constexpr auto kCoarseProgressInterval = std::chrono::milliseconds(100);
// Upper bound on one wait for sockets, so that the stop flag is seen promptly.
constexpr long kMaxPollMilliseconds = 1000;

bool isTlsFailure(CURLcode code) {
    switch (code) {
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
            return true;
        default:
            return false;
    }
}

// What a failed transfer means, and whether the request can have reached the server.
std::pair<Error, Fault> failureOf(CURLcode code, std::string message, int status) {
    const Fault broke = status == 0 ? Fault::lost : Fault::cut;
    const auto made = [&](ErrorKind kind, Code what, Fault fault) {
        return std::pair{makeError(kind, what, message, status), fault};
    };
    switch (code) {
        case CURLE_OPERATION_TIMEDOUT:
            return made(ErrorKind::timeout, Code::Timeout, Fault::none);
        case CURLE_COULDNT_CONNECT:
            return made(ErrorKind::transport, Code::ConnectionFailed, Fault::unsent);
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return made(ErrorKind::transport, Code::HostNotFound, Fault::unsent);
        case CURLE_URL_MALFORMAT:
        case CURLE_UNSUPPORTED_PROTOCOL:
            return made(ErrorKind::misuse, Code::InvalidURL, Fault::none);
        case CURLE_GOT_NOTHING:
            return made(ErrorKind::transport, Code::EmptyResponse, broke);
        case CURLE_PARTIAL_FILE:
            return made(ErrorKind::transport, Code::TruncatedResponse, Fault::cut);
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
            return made(ErrorKind::transport, Code::ConnectionReset, broke);
        default:
            if (isTlsFailure(code))
                return made(ErrorKind::tls, Code::TLSFailure, Fault::none);
            return made(ErrorKind::transport, Code::TransportError, Fault::none);
    }
}

}  // namespace

// One attempt on the wire: the handle and everything its callbacks touch. The callbacks run on
// the engine thread, inside curl_multi_perform.
struct LiveAttempt {
    Engine::AttemptId id = 0;
    CurlHandle curl;
    Attempt attempt;
    AttemptHandlers handlers;
    ResponseHeaders head;
    std::optional<Error> localError;

    std::uint64_t bodySent = 0;
    bool toPayload = false;  // this answer's body is the request's payload
    std::string body;        // any other body

    std::uint64_t reportedSent = 0, reportedReceived = 0;
    Clock::time_point lastReport{};

    int status() const { return head.status(); }
    void fail(Error error) {
        if (!localError)
            localError = std::move(error);
    }
    std::optional<Error> prepare();
    std::size_t headerLine(std::string_view line);
    bool headComplete();
    std::size_t bodyChunk(const char* data, std::size_t size);
    std::size_t readBody(char* buffer, std::size_t capacity);
    void progress();
    Answer answer(CURLcode code);
};

namespace {

std::size_t onHeaderLine(char* data, std::size_t size, std::size_t count, void* self) {
    return static_cast<LiveAttempt*>(self)->headerLine(std::string_view(data, size * count));
}
std::size_t onBody(char* data, std::size_t size, std::size_t count, void* self) {
    return static_cast<LiveAttempt*>(self)->bodyChunk(data, size * count);
}
std::size_t onRead(char* buffer, std::size_t size, std::size_t count, void* self) {
    return static_cast<LiveAttempt*>(self)->readBody(buffer, size * count);
}
int onSeek(void* self, curl_off_t offset, int origin) {
    if (origin != SEEK_SET || offset != 0)
        return CURL_SEEKFUNC_CANTSEEK;
    static_cast<LiveAttempt*>(self)->bodySent = 0;  // the source is read by offset
    return CURL_SEEKFUNC_OK;
}
int onProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    static_cast<LiveAttempt*>(self)->progress();
    return 0;
}

}  // namespace

std::optional<Error> LiveAttempt::prepare() {
    // Callers' strings are checked where they are set, but some reach a header indirectly (an
    // access key in Authorization, a host in Host): a line break there would start another.
    for (const auto& [name, value] : attempt.headers) {
        if (!isSafeHeaderValue(name) || !isSafeHeaderValue(value))
            return misuse(Code::InvalidHeader,
                          isSafeHeaderValue(name)
                              ? "the " + name + " header would hold a line break or NUL"
                              : "a header name holds a line break or NUL");
    }
    if (!curl)
        return makeError(ErrorKind::transport, Code::OutOfMemory, "curl_easy_init failed");
    CURL* easy = curl.get();
    curl.configure(attempt);
    curl.setMethod(attempt);
    curl.setHeaders(attempt);
    curl_easy_setopt(easy, CURLOPT_PRIVATE, this);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &onHeaderLine);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &onBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &onProgress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, this);
    noteSockets(easy);
    if (attempt.body.present()) {
        curl_easy_setopt(easy, CURLOPT_READFUNCTION, &onRead);
        curl_easy_setopt(easy, CURLOPT_READDATA, this);
        curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, &onSeek);
        curl_easy_setopt(easy, CURLOPT_SEEKDATA, this);
    }
    return std::nullopt;
}

std::size_t LiveAttempt::headerLine(std::string_view line) {
    switch (head.feed(line)) {
        case ResponseHeaders::Step::complete:
            acknowledgeAtOnce(curl.get());
            return headComplete() ? line.size() : 0;
        case ResponseHeaders::Step::refused: {
            const bool tooLarge = head.refusal() == ResponseHeaders::Refusal::tooLarge;
            fail(makeError(ErrorKind::response,
                           tooLarge ? Code::ResponseTooLarge : Code::MalformedResponse,
                           head.problem(), head.status()));
            return 0;  // ends the transfer
        }
        case ResponseHeaders::Step::more:
            break;
    }
    return line.size();
}

bool LiveAttempt::headComplete() {
    toPayload = attempt.payload && isSuccess(status());
    if (handlers.onHead) {
        if (auto error = handlers.onHead(status(), head.headers())) {
            fail(std::move(*error));
            return false;
        }
    }
    return true;
}

std::size_t LiveAttempt::bodyChunk(const char* data, std::size_t size) {
    if (toPayload) {
        if (auto error = attempt.payload->write(data, size, status())) {
            fail(std::move(*error));
            return 0;
        }
        return size;
    }
    if (body.size() + size > attempt.maxMemoryBody) {
        fail(makeError(
            ErrorKind::response, Code::ResponseTooLarge,
            "the answer is larger than " + std::to_string(attempt.maxMemoryBody) + " bytes",
            status()));
        return 0;
    }
    body.append(data, size);
    return size;
}

std::size_t LiveAttempt::readBody(char* buffer, std::size_t capacity) {
    const auto got = attempt.body.read(bodySent, buffer, capacity);
    const std::string& path = attempt.body.file() ? attempt.body.file()->path() : attempt.url;
    if (!got) {
        fail(fileError(Code::CannotReadFile, "cannot read", path));
        return CURL_READFUNC_ABORT;
    }
    if (*got == 0 && bodySent < attempt.body.size()) {
        fail(makeError(ErrorKind::localFile, Code::FileChanged,
                       path + " became shorter while it was being sent"));
        return CURL_READFUNC_ABORT;
    }
    bodySent += *got;
    return *got;
}

void LiveAttempt::progress() {
    const std::uint64_t received = toPayload ? attempt.payload->size() : 0;
    if (bodySent == reportedSent && received == reportedReceived)
        return;
    const auto now = Clock::now();
    if (!attempt.accurateProgress && now - lastReport < kCoarseProgressInterval)
        return;
    lastReport = now;
    if (bodySent != reportedSent && handlers.onSent)
        handlers.onSent(reportedSent = bodySent);
    if (received != reportedReceived && handlers.onReceived) {
        reportedReceived = received;
        handlers.onReceived();
    }
}

Answer LiveAttempt::answer(CURLcode code) {
    Answer out;
    out.status = status();
    if (localError) {
        out.error = std::move(localError);
        out.error->httpStatus = status();
    } else if (code != CURLE_OK) {
        std::tie(out.error, out.fault) = failureOf(
            code, *curl.errorText() ? curl.errorText() : curl_easy_strerror(code), status());
    } else if (status() == 0) {
        out.error = makeError(ErrorKind::transport, Code::EmptyResponse, "no HTTP answer");
        out.fault = Fault::lost;
    } else if (!head.complete()) {
        // curl takes a connection closed inside the head for the end of the answer.
        out.error = makeError(ErrorKind::transport, Code::TruncatedResponse,
                              "the connection closed inside the answer's headers", status());
        out.fault = Fault::cut;
    }
    out.headers = head.takeHeaders();
    out.body = std::move(body);
    return out;
}

// Hashes bodies one after another on a thread of its own: on the network thread a 64 MiB file
// would hold up every transfer for tens of milliseconds.
class Hasher {
  public:
    ~Hasher() { stop(); }
    using Job =
        std::tuple<BodySource, StreamingDigest::Algorithm, std::function<void(std::string)>>;
    void add(Job job);
    void stop();

  private:
    void run();
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Job> jobs_;
    bool stopping_ = false;
    std::thread thread_;
};

void Hasher::add(Job job) {
    std::lock_guard lock(mutex_);
    if (stopping_)
        return;
    jobs_.push_back(std::move(job));
    if (!thread_.joinable())
        thread_ = std::thread([this] { run(); });
    changed_.notify_one();
}

void Hasher::run() {
    std::unique_lock lock(mutex_);
    while (true) {
        changed_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
        if (stopping_)
            return;
        auto [body, algorithm, done] = std::move(jobs_.front());
        jobs_.pop_front();
        lock.unlock();
        Engine::instance().post(
            [done = std::move(done), digest = body.hexDigest(algorithm)] { done(digest); });
        lock.lock();
    }
}

void Hasher::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        jobs_.clear();
    }
    changed_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

struct Engine::Impl {
    CURLM* multi = nullptr;
    std::thread thread;
    std::thread::id threadId;
    Hasher hasher;

    std::mutex mutex;
    bool stopping = false;
    std::deque<Task> tasks;
    std::multimap<Clock::time_point, Task> timers;

    // Engine thread only.
    AttemptId nextId = 1;
    std::unordered_map<AttemptId, std::unique_ptr<LiveAttempt>> live;

    bool stopped() {
        std::lock_guard lock(mutex);
        return stopping;
    }
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
    impl_->hasher.stop();
    {
        std::lock_guard lock(impl_->mutex);
        impl_->stopping = true;
    }
    curl_multi_wakeup(impl_->multi);
    // A process may exit from inside a hook; the network thread cannot join itself.
    if (onEngineThread()) {
        impl_->thread.detach();
        return;
    }
    impl_->thread.join();
    for (auto& [id, attempt] : impl_->live)
        curl_multi_remove_handle(impl_->multi, attempt->curl.get());
    impl_->live.clear();
    impl_->tasks.clear();
    impl_->timers.clear();
    curl_multi_cleanup(impl_->multi);
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

void Engine::hash(BodySource body, std::function<void(std::string)> done,
                  StreamingDigest::Algorithm algorithm) {
    impl_->hasher.add({std::move(body), algorithm, std::move(done)});
}

Engine::AttemptId Engine::start(Attempt attempt, AttemptHandlers handlers) {
    auto live = std::make_unique<LiveAttempt>();
    const AttemptId id = live->id = impl_->nextId++;
    live->attempt = std::move(attempt);
    live->handlers = std::move(handlers);
    std::optional<Error> error = live->prepare();
    if (!error && curl_multi_add_handle(impl_->multi, live->curl.get()) != CURLM_OK)
        error = makeError(ErrorKind::transport, Code::TransportError,
                          "the attempt could not be started");
    if (!error) {
        impl_->live.emplace(id, std::move(live));
        return id;
    }
    // Reported on the next turn of the loop, as if the attempt had run, so that callers never
    // see their answer before start() returns.
    post([done = std::move(live->handlers.onDone), error = std::move(*error)] {
        if (done)
            done(Answer{.error = error});
    });
    return id;
}

void Engine::stop(AttemptId id) {
    auto found = impl_->live.find(id);
    if (found == impl_->live.end())
        return;
    curl_multi_remove_handle(impl_->multi, found->second->curl.get());
    impl_->live.erase(found);
}

void Engine::Impl::loop() {
    // A download's reader that goes away must fail the write, not end the process.
    sigset_t brokenPipe;
    sigemptyset(&brokenPipe);
    sigaddset(&brokenPipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &brokenPipe, nullptr);
    while (!stopped()) {
        runTasks();
        int running = 0;
        curl_multi_perform(multi, &running);
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
            if (message->msg == CURLMSG_DONE && !stopped())
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
        const auto end = timers.upper_bound(Clock::now());
        for (auto it = timers.begin(); it != end; ++it)
            due.push_back(std::move(it->second));
        timers.erase(timers.begin(), end);
    }
    // Each task goes as soon as it has run, releasing what it captured (often a request). Once
    // the process is leaving, none runs: what they would call may be gone.
    while (!due.empty() && !stopped()) {
        Task task = std::move(due.front());
        due.pop_front();
        try {
            task();
        } catch (...) {
            // A throwing task must not take the network thread down with it.
        }
    }
}

void Engine::Impl::complete(CURLMsg* message) {
    LiveAttempt* raw = nullptr;
    curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, reinterpret_cast<char**>(&raw));
    const CURLcode code = message->data.result;
    auto found = live.find(raw->id);
    if (found == live.end())
        return;
    std::unique_ptr<LiveAttempt> attempt = std::move(found->second);
    live.erase(found);
    curl_multi_remove_handle(multi, attempt->curl.get());
    attempt->progress();
    Answer answer = attempt->answer(code);
    auto done = std::move(attempt->handlers.onDone);
    attempt.reset();
    if (done)
        done(std::move(answer));
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
        const auto wait =
            std::chrono::ceil<std::chrono::milliseconds>(timers.begin()->first - Clock::now());
        timeout = std::clamp<long>(wait.count(), 0, timeout);
    }
    return timeout;
}

}  // namespace quilo::detail
