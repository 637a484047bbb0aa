#include "FaultProxy.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "quilo/requestlib/Types.hpp"

namespace quilo::test {
namespace {

constexpr std::size_t kMaxHeadBytes = 64 << 10;
// Poll no longer than this, so that a stopping proxy is noticed.
constexpr int kPollMilliseconds = 100;
constexpr auto kDrainTime = std::chrono::seconds(1);

bool sameText(std::string_view a, std::string_view b) {
    CaseInsensitiveLess less;
    return !less(a, b) && !less(b, a);
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// The value of the first field called `name` in a message head, if any.
std::optional<std::string_view> field(std::string_view head, std::string_view name) {
    std::size_t start = head.find("\r\n");
    while (start != std::string_view::npos) {
        start += 2;
        const std::size_t end = head.find("\r\n", start);
        if (end == std::string_view::npos || end == start)
            break;
        const std::string_view line = head.substr(start, end - start);
        const std::size_t colon = line.find(':');
        if (colon != std::string_view::npos && sameText(trim(line.substr(0, colon)), name))
            return trim(line.substr(colon + 1));
        start = end;
    }
    return std::nullopt;
}

std::optional<std::uint64_t> contentLength(std::string_view head) {
    const auto value = field(head, "Content-Length");
    if (!value || value->empty())
        return std::nullopt;
    return std::strtoull(std::string(*value).c_str(), nullptr, 10);
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

// Waits for bytes on `fd`; false on end of stream, error, or time-out.
bool receive(int fd, std::string& into, int timeoutMilliseconds) {
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, timeoutMilliseconds) <= 0)
        return false;
    char block[16384];
    ssize_t n;
    do {
        n = ::recv(fd, block, sizeof block, 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0)
        return false;
    into.append(block, static_cast<std::size_t>(n));
    return true;
}

std::string slowDownAnswer(std::uint64_t sequence, bool head) {
    const std::string body =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Error><Code>SlowDown</Code>"
        "<Message>Please reduce your request rate.</Message><RequestId>fault-proxy-" +
        std::to_string(sequence) + "</RequestId></Error>";
    return "HTTP/1.1 503 Slow Down\r\nContent-Type: application/xml\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + (head ? "" : body);
}

}  // namespace

// --- schedules ----------------------------------------------------------------------------

FaultProxy::Schedule FaultProxy::every(std::uint64_t n, ProxyFault fault, std::uint64_t offset) {
    return [=](const ProxiedRequest& request) {
        const bool hit =
            n > 0 && request.sequence >= offset && (request.sequence - offset) % n == 0;
        return hit ? fault : ProxyFault::none;
    };
}

FaultProxy::Schedule FaultProxy::seeded(std::uint32_t seed, double rate,
                                        std::vector<ProxyFault> kinds) {
    auto random = std::make_shared<std::mt19937>(seed);
    return [random, rate, kinds = std::move(kinds)](const ProxiedRequest&) {
        std::uniform_real_distribution<double> draw(0.0, 1.0);
        if (kinds.empty() || draw(*random) >= rate)
            return ProxyFault::none;
        return kinds[(*random)() % kinds.size()];
    };
}

// --- one connection -----------------------------------------------------------------------

// Carries one client connection: requests upstream, answers back, and this connection's faults.
class FaultProxy::Session {
  public:
    Session(FaultProxy& proxy, Connection& connection) : proxy_(proxy), connection_(connection) {}

    void run() {
        while (!proxy_.stopping()) {
            const int client = connection_.client;
            pollfd fds[2] = {{client, POLLIN, 0}, {upstream_, POLLIN, 0}};
            const int ready = ::poll(fds, 2, kPollMilliseconds);
            if (ready < 0 && errno != EINTR)
                break;
            if (ready <= 0)
                continue;
            if (fds[0].revents && !fromClient())
                break;
            if (fds[1].revents && !fromUpstream())
                break;
        }
        closeFd(connection_.upstream);
        closeFd(connection_.client);
        std::lock_guard lock(proxy_.mutex_);
        connection_.done = true;
    }

  private:
    enum class Upload { head, body, passthrough };

    // Marks the descriptor closed under the lock first, so that the destructor never shuts down
    // a number the system has handed out again.
    void closeFd(int& fd) {
        int closing;
        {
            std::lock_guard lock(proxy_.mutex_);
            closing = std::exchange(fd, -1);
        }
        if (closing >= 0)
            ::close(closing);
    }

    bool fromClient() {
        if (!receive(connection_.client, request_, 0))
            return false;
        while (!request_.empty()) {
            if (upload_ == Upload::passthrough) {
                if (!sendAll(upstream_, request_))
                    return false;
                request_.clear();
            } else if (upload_ == Upload::body) {
                const auto size =
                    static_cast<std::size_t>(std::min<std::uint64_t>(bodyLeft_, request_.size()));
                if (!sendAll(upstream_, std::string_view(request_).substr(0, size)))
                    return false;
                request_.erase(0, size);
                bodyLeft_ -= size;
                if (bodyLeft_ == 0)
                    upload_ = Upload::head;
            } else {
                const std::size_t end = request_.find("\r\n\r\n");
                if (end == std::string::npos)
                    return request_.size() <= kMaxHeadBytes;
                std::string head = request_.substr(0, end + 4);
                request_.erase(0, end + 4);
                if (!startRequest(head))
                    return false;
            }
        }
        return true;
    }

    bool startRequest(const std::string& head) {
        ProxiedRequest request;
        request.connection = connection_.id;
        const std::size_t first = head.find(' ');
        const std::size_t second = head.find(' ', first + 1);
        if (first == std::string::npos || second == std::string::npos)
            return false;
        request.method = head.substr(0, first);
        request.target = head.substr(first + 1, second - first - 1);
        const std::uint64_t length = contentLength(head).value_or(0);
        const auto encoding = field(head, "Transfer-Encoding");
        const bool chunked = encoding && sameText(*encoding, "chunked");
        const auto expect = field(head, "Expect");
        const bool waitsForContinue = expect && sameText(*expect, "100-continue");

        const ProxyFault fault = proxy_.decide(request);
        if (fault == ProxyFault::reset) {
            linger hard{1, 0};
            ::setsockopt(connection_.client, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            return false;
        }
        if (fault == ProxyFault::slowDown) {
            // A client that waits for 100 Continue sends no body; any other body is read first,
            // so that closing does not reset the connection under the answer.
            if (!chunked && !waitsForContinue) {
                while (request_.size() < length && receive(connection_.client, request_, 1000)) {
                }
            }
            sendAll(connection_.client, slowDownAnswer(request.sequence, request.method == "HEAD"));
            ::shutdown(connection_.client, SHUT_WR);
            const auto deadline = std::chrono::steady_clock::now() + kDrainTime;
            std::string ignored;
            while (std::chrono::steady_clock::now() < deadline && !proxy_.stopping() &&
                   receive(connection_.client, ignored, kPollMilliseconds))
                ignored.clear();
            return false;
        }
        if (upstream_ < 0 && !connectUpstream())
            return false;
        if (!sendAll(upstream_, head))
            return false;
        cutMethod_ =
            fault == ProxyFault::cutResponse ? std::optional(request.method) : std::nullopt;
        if (chunked) {
            upload_ = Upload::passthrough;
        } else if (length > 0) {
            upload_ = Upload::body;
            bodyLeft_ = length;
        }
        return true;
    }

    bool connectUpstream() {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return false;
        {
            std::lock_guard lock(proxy_.mutex_);
            connection_.upstream = fd;
        }
        upstream_ = fd;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(proxy_.upstreamPort_));
        if (::inet_pton(AF_INET, proxy_.upstreamHost_.c_str(), &address.sin_addr) != 1 ||
            ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            return false;
        int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        return true;
    }

    bool fromUpstream() {
        if (!cutMethod_) {
            std::string data;
            return receive(upstream_, data, 0) && sendAll(connection_.client, data);
        }
        if (!receive(upstream_, response_, 0))
            return false;
        return !cutIfReady();
    }

    // Sends the part of the answer that the cut lets through once it has arrived; true when the
    // connection is then to be closed.
    bool cutIfReady() {
        while (true) {
            const std::size_t end = response_.find("\r\n\r\n");
            if (end == std::string::npos)
                return response_.size() > kMaxHeadBytes;
            const std::size_t headSize = end + 4;
            const std::string_view head = std::string_view(response_).substr(0, headSize);
            const int status =
                head.size() > 12 ? std::atoi(std::string(head.substr(9, 3)).c_str()) : 0;
            if (status >= 100 && status < 200) {
                // Interim answers (100 Continue) pass; the final one is cut.
                if (!sendAll(connection_.client, head))
                    return true;
                response_.erase(0, headSize);
                continue;
            }
            std::optional<std::uint64_t> bodySize = contentLength(head);
            if (*cutMethod_ == "HEAD" || status == 204 || status == 304)
                bodySize = 0;
            std::size_t keep;
            if (bodySize && *bodySize >= 2) {
                keep = headSize + static_cast<std::size_t>(*bodySize / 2);
                if (response_.size() < keep)
                    return false;  // wait for half of the body
            } else if (bodySize) {
                // No body to cut: stop inside the head, after the status line.
                const std::size_t line = response_.find("\r\n") + 2;
                keep = line + (headSize - line) / 2;
            } else {
                keep = headSize + (response_.size() - headSize) / 2;
            }
            sendAll(connection_.client, std::string_view(response_).substr(0, keep));
            return true;
        }
    }

    FaultProxy& proxy_;
    Connection& connection_;
    int upstream_ = -1;  // this thread's copy of connection_.upstream
    std::string request_, response_;
    Upload upload_ = Upload::head;
    std::uint64_t bodyLeft_ = 0;
    std::optional<std::string> cutMethod_;  // the method of a request whose answer is cut
};

// --- the proxy ----------------------------------------------------------------------------

FaultProxy::FaultProxy(std::string upstream, Schedule schedule) : schedule_(std::move(schedule)) {
    const std::size_t colon = upstream.rfind(':');
    if (colon == std::string::npos)
        throw std::invalid_argument("FaultProxy: upstream must be host:port");
    upstreamHost_ = upstream.substr(0, colon);
    upstreamPort_ = std::atoi(upstream.c_str() + colon + 1);

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
        throw std::runtime_error("FaultProxy: cannot listen on 127.0.0.1");
    }
    port_ = ntohs(address.sin_port);
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

FaultProxy::~FaultProxy() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    ::shutdown(listenFd_, SHUT_RDWR);  // wakes accept()
    acceptThread_.join();
    ::close(listenFd_);
    {
        std::lock_guard lock(mutex_);
        for (auto& connection : connections_) {
            if (connection.client >= 0)
                ::shutdown(connection.client, SHUT_RDWR);
            if (connection.upstream >= 0)
                ::shutdown(connection.upstream, SHUT_RDWR);
        }
    }
    // No connection is added once the accept thread has ended.
    for (auto& connection : connections_)
        connection.thread.join();
}

void FaultProxy::setSchedule(Schedule schedule) {
    std::lock_guard lock(mutex_);
    schedule_ = std::move(schedule);
}

std::string FaultProxy::host() const {
    return "127.0.0.1:" + std::to_string(port_);
}

FaultProxy::Counts FaultProxy::counts() const {
    std::lock_guard lock(mutex_);
    return counts_;
}

bool FaultProxy::stopping() const {
    std::lock_guard lock(mutex_);
    return stopping_;
}

ProxyFault FaultProxy::decide(ProxiedRequest& request) {
    std::lock_guard lock(mutex_);
    request.sequence = counts_.requests++;
    const ProxyFault fault = schedule_ ? schedule_(request) : ProxyFault::none;
    switch (fault) {
        case ProxyFault::reset:
            ++counts_.resets;
            break;
        case ProxyFault::slowDown:
            ++counts_.slowDowns;
            break;
        case ProxyFault::cutResponse:
            ++counts_.cutResponses;
            break;
        case ProxyFault::none:
            break;
    }
    return fault;
}

void FaultProxy::reapFinished() {
    std::list<Connection> finished;
    {
        std::lock_guard lock(mutex_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            auto next = std::next(it);
            if (it->done)
                finished.splice(finished.end(), connections_, it);
            it = next;
        }
    }
    for (auto& connection : finished)
        connection.thread.join();
}

void FaultProxy::acceptLoop() {
    while (true) {
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        reapFinished();
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
        Connection& connection = connections_.emplace_back();
        connection.id = counts_.connections++;
        connection.client = fd;
        connection.thread = std::thread([this, &connection] { Session(*this, connection).run(); });
    }
}

}  // namespace quilo::test
