#include "FaultServer.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace quilo::test {
namespace {

constexpr std::size_t kMaxHeadBytes = 1 << 20;
constexpr std::size_t kBlockBytes = 64 << 10;

std::string_view trim(std::string_view text) {
    const auto begin = text.find_first_not_of(" \t");
    return begin == text.npos ? "" : text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

}  // namespace

bool sameText(std::string_view a, std::string_view b) {
    CaseInsensitiveLess less;
    return !less(a, b) && !less(b, a);
}

std::string headerOf(const HeaderMap& fields, std::string_view name) {
    const auto found = fields.find(name);
    return found == fields.end() ? std::string() : found->second;
}

bool sendAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool receive(int fd, std::string& into) {
    char block[16384];
    ssize_t n;
    while ((n = ::recv(fd, block, sizeof block, 0)) < 0 && errno == EINTR) {
    }
    into.append(block, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    return n > 0;
}

std::optional<MessageHead> readHead(int fd, std::string& buffer) {
    std::size_t end;
    while ((end = buffer.find("\r\n\r\n")) == std::string::npos)
        if (buffer.size() > kMaxHeadBytes || !receive(fd, buffer))
            return std::nullopt;
    const std::string head = buffer.substr(0, end + 2);  // each line with its CR LF
    buffer.erase(0, end + 4);
    std::size_t at = head.find("\r\n");
    const std::string_view start = std::string_view(head).substr(0, at);
    const std::size_t space = start.find(' ');
    if (space == start.npos)
        return std::nullopt;
    MessageHead parsed{std::string(start.substr(0, space)),
                       std::string(start.substr(space + 1, start.find(' ', space + 1) - space - 1)),
                       {}};
    for (std::size_t next; (next = head.find("\r\n", at += 2)) != std::string::npos; at = next) {
        const std::string_view line = std::string_view(head).substr(at, next - at);
        const std::size_t colon = line.find(':');
        if (colon == line.npos)
            return std::nullopt;
        const std::string value(trim(line.substr(colon + 1)));
        auto [it, added] =
            parsed.fields.try_emplace(std::string(trim(line.substr(0, colon))), value);
        if (!added)
            it->second += ", " + value;
    }
    return parsed;
}

FaultServer::FaultServer(Handler handler) : handler_(std::move(handler)) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    auto* raw = reinterpret_cast<sockaddr*>(&address);
    if (listenFd_ < 0 || ::bind(listenFd_, raw, size) != 0 || ::listen(listenFd_, 128) != 0 ||
        ::getsockname(listenFd_, raw, &size) != 0) {
        ::close(listenFd_);
        throw std::runtime_error("FaultServer: cannot listen on 127.0.0.1");
    }
    port_ = ntohs(address.sin_port);
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

FaultServer::~FaultServer() {
    std::unique_lock lock(mutex_);
    stopping_ = true;
    wake_.notify_all();
    ::shutdown(listenFd_, SHUT_RDWR);  // wakes accept()
    lock.unlock();
    acceptThread_.join();
    ::close(listenFd_);
    lock.lock();
    for (auto& connection : connections_)
        ::shutdown(connection.fd, SHUT_RDWR);  // wakes recv() and send(); -1 once closed
    lock.unlock();
    // No connection is added once the accept thread has ended.
    for (auto& connection : connections_)
        connection.thread.join();
}

void FaultServer::acceptLoop() {
    while (true) {
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        std::lock_guard lock(mutex_);
        if (stopping_ && fd >= 0)
            ::close(fd);
        if (stopping_)
            return;
        if (fd < 0)
            continue;  // EINTR, ECONNABORTED: the next one may be fine
        int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        Connection& connection = connections_.emplace_back(Connection{fd, {}});
        connection.thread = std::thread([this, &connection, number = connectionCount_++] {
            serve(connection.fd, number);
            // Under the lock, so that the destructor never shuts down a number reused since.
            std::lock_guard lock(mutex_);
            ::close(std::exchange(connection.fd, -1));
        });
    }
}

void FaultServer::setHandler(Handler handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

void FaultServer::setContinueHandler(ContinueHandler handler) {
    std::lock_guard lock(mutex_);
    continueHandler_ = std::move(handler);
}

std::vector<ServedRequest> FaultServer::requests() const {
    std::lock_guard lock(mutex_);
    return log_;
}

bool FaultServer::pause(std::chrono::milliseconds duration) {
    std::unique_lock lock(mutex_);
    auto stopping = [this] { return stopping_; };
    if (duration < std::chrono::milliseconds::zero())
        wake_.wait(lock, stopping);
    else
        wake_.wait_for(lock, duration, stopping);
    return !stopping_;
}

void FaultServer::serve(int fd, std::uint64_t connection) {
    std::string buffer;
    while (auto head = readHead(fd, buffer)) {
        ServedRequest request{head->first, head->second, std::move(head->fields), {},
                              0,           connection};
        bool counted = true;  // in progress until the answer is out, or the connection dropped
        const auto sent = [&] { inProgress_ -= std::exchange(counted, false) ? 1 : 0; };
        std::unique_lock lock(mutex_);
        maxInProgress_ = std::max(maxInProgress_.load(), ++inProgress_);
        lock.unlock();
        const auto length =
            std::strtoull(headerOf(request.headers, "Content-Length").c_str(), nullptr, 10);
        std::optional<FaultAction> early;
        if (sameText(headerOf(request.headers, "Expect"), "100-continue")) {
            lock.lock();
            const auto decide = continueHandler_;
            lock.unlock();
            early = decide ? decide(request) : std::nullopt;
            if (!early)
                sendAll(fd, "HTTP/1.1 100 Continue\r\n\r\n");
        }
        while (!early && buffer.size() < length && receive(fd, buffer)) {
        }
        if (!early && buffer.size() < length)
            return sent();
        if (!early) {
            request.body = buffer.substr(0, length);
            buffer.erase(0, length);
        }
        lock.lock();
        request.sequence = requestCount_++;
        log_.push_back(request);
        const auto handler = handler_;
        lock.unlock();
        const FaultAction action = early ? *early : handler ? handler(request) : FaultAction{};
        // The body of a refused 100-continue request may still be on its way: do not read on.
        const bool keepAlive = perform(fd, action, request, sent) && !early &&
                               !sameText(headerOf(request.headers, "Connection"), "close");
        sent();
        if (!keepAlive)
            return;
    }
}

bool FaultServer::perform(int fd, const FaultAction& action, const ServedRequest& request,
                          const std::function<void()>& sent) {
    if (action.delay.count() > 0 && !pause(action.delay))
        return false;
    if (action.kind == FaultAction::Kind::stall)
        pause(action.stallFor);
    if (action.kind == FaultAction::Kind::reset) {
        linger hard{1, 0};  // closing then resets the connection
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    if (action.kind != FaultAction::Kind::answer)
        return false;
    const std::uint64_t promised = action.generatedSize ? action.generatedSize : action.body.size();
    const std::uint64_t size = request.method == "HEAD" ? 0 : promised;
    std::string head = "HTTP/1.1 " + std::to_string(action.status) + " Status\r\n";
    for (const auto& [name, value] : action.headers)
        head += name + ": " + value + "\r\n";
    head +=
        "Content-Length: " + std::to_string(action.contentLength.value_or(promised)) + "\r\n\r\n";
    if (action.cutHead) {
        const std::size_t line = head.find("\r\n") + 2;
        sendAll(fd, std::string_view(head).substr(0, line + (head.size() - line) / 2));
        return false;
    }
    // Counted out just before the last bytes go, so that a client that has them never finds
    // this request still in progress.
    if (size == 0 && !action.close)
        sent();
    if (!sendAll(fd, head))
        return false;
    static const std::string filler(kBlockBytes, 'g');
    const std::size_t step =
        action.chunkBytes > 0 ? std::min(action.chunkBytes, kBlockBytes) : kBlockBytes;
    for (std::uint64_t offset = 0; offset < size; offset += step) {
        if (offset > 0 && action.chunkBytes > 0 && !pause(action.chunkInterval))
            return false;
        const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(step, size - offset));
        if (offset + length == size && !action.close)
            sent();
        if (!sendAll(fd, action.generatedSize
                             ? std::string_view(filler).substr(0, length)
                             : std::string_view(action.body).substr(offset, length)))
            return false;
        bodyBytesSent_ += length;
    }
    return !action.close;
}

}  // namespace quilo::test
