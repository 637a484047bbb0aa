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
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

bool sameText(std::string_view a, std::string_view b) {
    CaseInsensitiveLess less;
    return !less(a, b) && !less(b, a);
}

std::string headerOf(const ServedRequest& request, std::string_view name) {
    auto found = request.headers.find(name);
    return found == request.headers.end() ? std::string() : found->second;
}

// Clients read the status code; the phrase is for people.
std::string_view reason(int status) {
    return status < 300 ? "OK" : status < 400 ? "Redirect" : "Error";
}

// Reads from a connection through a buffer that keeps what a pipelining client sent ahead.
class Reader {
  public:
    Reader(int fd, std::string& buffer) : fd_(fd), buffer_(buffer) {}

    std::optional<std::string> line() {
        std::size_t end;
        while ((end = buffer_.find("\r\n")) == std::string::npos) {
            if (buffer_.size() > kMaxHeadBytes || !more())
                return std::nullopt;
        }
        std::string text = buffer_.substr(0, end);
        buffer_.erase(0, end + 2);
        return text;
    }

    std::optional<std::string> take(std::size_t size) {
        while (buffer_.size() < size) {
            if (!more())
                return std::nullopt;
        }
        std::string data = buffer_.substr(0, size);
        buffer_.erase(0, size);
        return data;
    }

  private:
    bool more() {
        char block[16384];
        while (true) {
            ssize_t n = ::recv(fd_, block, sizeof block, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            buffer_.append(block, static_cast<std::size_t>(n));
            return true;
        }
    }

    int fd_;
    std::string& buffer_;
};

std::optional<ServedRequest> readHead(Reader& reader) {
    std::optional<std::string> line;
    do {
        line = reader.line();  // empty lines may precede a request
    } while (line && line->empty());
    if (!line)
        return std::nullopt;
    ServedRequest request;
    auto first = line->find(' ');
    auto second = line->find(' ', first + 1);
    if (first == std::string::npos || second == std::string::npos)
        return std::nullopt;
    request.method = line->substr(0, first);
    request.target = line->substr(first + 1, second - first - 1);
    while ((line = reader.line()) && !line->empty()) {
        auto colon = line->find(':');
        if (colon == std::string::npos)
            return std::nullopt;
        std::string name(trim(std::string_view(*line).substr(0, colon)));
        std::string value(trim(std::string_view(*line).substr(colon + 1)));
        auto [it, inserted] = request.headers.try_emplace(name, value);
        if (!inserted)
            it->second += ", " + value;
    }
    if (!line)
        return std::nullopt;
    return request;
}

bool readBody(Reader& reader, ServedRequest& request) {
    if (sameText(headerOf(request, "Transfer-Encoding"), "chunked")) {
        while (true) {
            auto sizeLine = reader.line();
            if (!sizeLine)
                return false;
            std::size_t size = std::strtoull(sizeLine->c_str(), nullptr, 16);
            if (size == 0)
                break;
            auto chunk = reader.take(size);
            if (!chunk || !reader.take(2))
                return false;
            request.body += *chunk;
        }
        std::optional<std::string> trailer;
        while ((trailer = reader.line()) && !trailer->empty()) {
        }
        return trailer.has_value();
    }
    std::string length = headerOf(request, "Content-Length");
    if (length.empty())
        return true;
    auto body = reader.take(std::strtoull(length.c_str(), nullptr, 10));
    if (!body)
        return false;
    request.body = std::move(*body);
    return true;
}

}  // namespace

// --- FaultAction --------------------------------------------------------------------------

FaultAction FaultAction::reply(int status, std::string body) {
    FaultAction action;
    action.status = status;
    action.body = std::move(body);
    return action;
}

FaultAction FaultAction::generated(std::uint64_t size) {
    FaultAction action;
    action.generatedSize = size;
    return action;
}

FaultAction FaultAction::truncated(std::string sent, std::uint64_t promised) {
    FaultAction action = reply(200, std::move(sent));
    action.contentLength = promised;
    action.then = Then::close;
    return action;
}

FaultAction FaultAction::stall(std::chrono::milliseconds duration) {
    FaultAction action;
    action.kind = Kind::stall;
    action.stallFor = duration;
    return action;
}

FaultAction FaultAction::hangUp() {
    FaultAction action;
    action.kind = Kind::hangUp;
    return action;
}

FaultAction&& FaultAction::header(std::string name, std::string value) && {
    headers.emplace_back(std::move(name), std::move(value));
    return std::move(*this);
}

FaultAction&& FaultAction::delayed(std::chrono::milliseconds by) && {
    delay = by;
    return std::move(*this);
}

FaultAction&& FaultAction::paced(std::size_t bytes, std::chrono::milliseconds interval) && {
    chunkBytes = bytes;
    chunkInterval = interval;
    return std::move(*this);
}

FaultAction&& FaultAction::thenStall(std::chrono::milliseconds duration) && {
    then = Then::stall;
    stallFor = duration;
    return std::move(*this);
}

// --- FaultServer --------------------------------------------------------------------------

// Counts one request as in progress until done() or destruction, whichever comes first.
class FaultServer::Busy {
  public:
    explicit Busy(FaultServer& server) : server_(server) { server_.began(); }
    ~Busy() { done(); }
    void done() {
        if (std::exchange(done_, true))
            return;
        std::lock_guard lock(server_.mutex_);
        --server_.inProgress_;
    }

  private:
    FaultServer& server_;
    bool done_ = false;
};

FaultServer::FaultServer(Handler handler) : handler_(std::move(handler)) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::listen(listenFd_, 128) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        if (listenFd_ >= 0)
            ::close(listenFd_);
        throw std::runtime_error("FaultServer: cannot listen on 127.0.0.1");
    }
    port_ = ntohs(address.sin_port);
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

FaultServer::~FaultServer() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    ::shutdown(listenFd_, SHUT_RDWR);  // wakes accept()
    acceptThread_.join();
    ::close(listenFd_);
    {
        std::lock_guard lock(mutex_);
        for (auto& connection : connections_)
            if (connection.fd >= 0)
                ::shutdown(connection.fd, SHUT_RDWR);  // wakes recv/send
    }
    // No connection is added once the accept thread has ended.
    for (auto& connection : connections_)
        connection.thread.join();
}

void FaultServer::setHandler(Handler handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

void FaultServer::setContinueHandler(ContinueHandler handler) {
    std::lock_guard lock(mutex_);
    continueHandler_ = std::move(handler);
}

std::string FaultServer::host() const {
    return "127.0.0.1:" + std::to_string(port_);
}

std::string FaultServer::url(std::string_view target) const {
    return "http://" + host() + std::string(target);
}

std::size_t FaultServer::requestCount() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::size_t FaultServer::connectionCount() const {
    std::lock_guard lock(mutex_);
    return accepted_;
}

std::size_t FaultServer::inProgress() const {
    std::lock_guard lock(mutex_);
    return inProgress_;
}

std::size_t FaultServer::maxInProgress() const {
    std::lock_guard lock(mutex_);
    return maxInProgress_;
}

std::uint64_t FaultServer::bodyBytesSent() const {
    std::lock_guard lock(mutex_);
    return bodyBytesSent_;
}

std::vector<ServedRequest> FaultServer::requests() const {
    std::lock_guard lock(mutex_);
    return log_;
}

void FaultServer::began() {
    std::lock_guard lock(mutex_);
    maxInProgress_ = std::max(maxInProgress_, ++inProgress_);
}

void FaultServer::acceptLoop() {
    while (true) {
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        std::lock_guard lock(mutex_);
        if (stopping_) {
            if (fd >= 0)
                ::close(fd);
            return;
        }
        if (fd < 0)
            continue;  // EINTR, ECONNABORTED: the next one may be fine
        int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        ++accepted_;
        Connection& connection = connections_.emplace_back();
        connection.fd = fd;
        connection.thread = std::thread([this, &connection] { serve(connection); });
    }
}

void FaultServer::closeConnection(Connection& connection) {
    std::lock_guard lock(mutex_);
    ::close(connection.fd);
    connection.fd = -1;
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

bool FaultServer::sendAll(int fd, std::string_view data, bool body) {
    while (!data.empty()) {
        ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data.remove_prefix(static_cast<std::size_t>(n));
        if (body) {
            std::lock_guard lock(mutex_);
            bodyBytesSent_ += static_cast<std::uint64_t>(n);
        }
    }
    return true;
}

void FaultServer::serve(Connection& connection) {
    const int fd = connection.fd;
    std::string buffer;
    Reader reader(fd, buffer);
    while (true) {
        auto request = readHead(reader);
        if (!request)
            break;
        Busy busy(*this);
        std::optional<FaultAction> early;
        if (sameText(headerOf(*request, "Expect"), "100-continue")) {
            ContinueHandler decide;
            {
                std::lock_guard lock(mutex_);
                decide = continueHandler_;
            }
            if (decide)
                early = decide(*request);
            if (!early && !sendAll(fd, "HTTP/1.1 100 Continue\r\n\r\n", false))
                break;
        }
        if (!early && !readBody(reader, *request))
            break;
        Handler handler;
        {
            std::lock_guard lock(mutex_);
            request->sequence = requests_++;
            log_.push_back(*request);
            handler = handler_;
        }
        FaultAction action = early ? *early : handler ? handler(*request) : FaultAction::reply(200);
        // The body of a refused 100-continue request may still be on its way: do not read on.
        if (!perform(fd, action, *request, busy) || early)
            break;
    }
    closeConnection(connection);
}

bool FaultServer::perform(int fd, const FaultAction& action, const ServedRequest& request,
                          Busy& busy) {
    if (action.delay > std::chrono::milliseconds::zero() && !pause(action.delay))
        return false;
    if (action.kind == FaultAction::Kind::hangUp)
        return false;
    if (action.kind == FaultAction::Kind::stall) {
        pause(action.stallFor);
        return false;
    }
    const std::uint64_t size = action.generatedSize.value_or(action.body.size());
    std::string head = "HTTP/1.1 " + std::to_string(action.status) + " " +
                       std::string(reason(action.status)) + "\r\n";
    for (const auto& [name, value] : action.headers)
        head += name + ": " + value + "\r\n";
    head += "Content-Length: " + std::to_string(action.contentLength.value_or(size)) + "\r\n\r\n";
    const bool hasBody = request.method != "HEAD" && size > 0;
    const bool complete = action.then == FaultAction::Then::keepAlive;
    if (!hasBody && complete)
        busy.done();
    if (!sendAll(fd, head, false))
        return false;

    // One period more than a block, so that any block is a slice of it.
    static const std::string pattern = [] {
        std::string bytes(kBlockBytes + FaultServer::patternPeriod, '\0');
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = patternByte(i);
        return bytes;
    }();
    std::string block;
    const std::size_t step =
        action.chunkBytes > 0 ? std::min(action.chunkBytes, kBlockBytes) : kBlockBytes;
    for (std::uint64_t offset = 0; hasBody && offset < size; offset += block.size()) {
        if (offset > 0 && action.chunkBytes > 0 && !pause(action.chunkInterval))
            return false;
        const std::size_t length =
            static_cast<std::size_t>(std::min<std::uint64_t>(step, size - offset));
        if (action.generatedSize) {
            block.assign(pattern, static_cast<std::size_t>(offset % FaultServer::patternPeriod),
                         length);
        } else {
            block.assign(action.body, static_cast<std::size_t>(offset), length);
        }
        if (offset + length == size && complete)
            busy.done();
        if (!sendAll(fd, block, true))
            return false;
    }
    if (action.then == FaultAction::Then::stall)
        pause(action.stallFor);
    if (!complete)
        return false;
    return !sameText(headerOf(request, "Connection"), "close");
}

}  // namespace quilo::test
