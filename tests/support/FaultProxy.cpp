#include "FaultProxy.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <random>
#include <stdexcept>

namespace quilo::test {
namespace {

// What the proxy answers itself, forwarding nothing.
std::optional<FaultAction> answerOf(ProxyFault fault) {
    if (fault == ProxyFault::reset)
        return FaultAction{.kind = FaultAction::Kind::reset};
    if (fault == ProxyFault::stall)
        return FaultAction::stall();
    if (fault != ProxyFault::slowDown && fault != ProxyFault::busy)
        return std::nullopt;
    std::vector<std::pair<std::string, std::string>> headers = {{"Content-Type", "application/xml"},
                                                                {"Connection", "close"}};
    if (fault == ProxyFault::busy)
        headers.emplace_back("Retry-After", "1");
    return FaultAction{.status = 503,
                       .headers = std::move(headers),
                       .body =
                           "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Error><Code>SlowDown"
                           "</Code><Message>Please reduce your request rate.</Message></Error>",
                       .close = true};
}

}  // namespace

FaultProxy::Schedule FaultProxy::seeded(std::uint32_t seed, double rate,
                                        std::vector<ProxyFault> kinds) {
    return [random = std::mt19937(seed), rate,
            kinds = std::move(kinds)](const ServedRequest&) mutable {
        if (kinds.empty() || std::uniform_real_distribution<double>(0.0, 1.0)(random) >= rate)
            return ProxyFault::none;
        return kinds[random() % kinds.size()];
    };
}

FaultProxy::FaultProxy(std::string upstream, Schedule schedule)
    : upstream_(std::move(upstream)),
      schedule_(std::move(schedule)),
      server_([this](const ServedRequest& request) { return pass(request); }) {
    if (upstream_.find(':') == std::string::npos)
        throw std::invalid_argument("FaultProxy: upstream must be host:port");
    // A client that waits for 100 Continue learns its fate before it sends the body.
    server_.setContinueHandler([this](const ServedRequest& head) -> std::optional<FaultAction> {
        const ProxyFault fault = decide(head);
        if (auto own = answerOf(fault))
            return own;
        std::lock_guard lock(mutex_);
        decided_[head.connection] = fault;
        return std::nullopt;
    });
}

ProxyFault FaultProxy::decide(const ServedRequest& request) {
    std::lock_guard lock(mutex_);
    return schedule_(request);
}

FaultAction FaultProxy::pass(const ServedRequest& request) {
    std::unique_lock lock(mutex_);
    const auto early = decided_.extract(request.connection);
    lock.unlock();
    const ProxyFault fault = early ? early.mapped() : decide(request);
    if (auto own = answerOf(fault))
        return *own;
    ServedRequest sent = request;
    if (fault == ProxyFault::flipByte && !sent.body.empty())
        sent.body[sent.body.size() / 2] ^= 1;
    FaultAction answer = forward(sent);
    if (fault == ProxyFault::cutResponse && answer.kind == FaultAction::Kind::answer) {
        // Half the body; with no body to cut, half the head.
        answer.cutHead = request.method == "HEAD" || answer.body.size() < 2;
        answer.contentLength = answer.contentLength.value_or(answer.body.size());
        answer.body.resize(answer.body.size() / 2);
        answer.close = true;
    }
    return answer;
}

// Over a connection of its own, which the server closes after its answer: all there is to read
// is that answer.
FaultAction FaultProxy::forward(const ServedRequest& request) const {
    std::string wire = request.method + " " + request.target + " HTTP/1.1\r\n", answer;
    for (const auto& [name, value] : request.headers)
        if (!sameText(name, "Expect") && !sameText(name, "Connection"))
            wire += name + ": " + value + "\r\n";
    wire += "Connection: close\r\n\r\n" + request.body;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval patience{30, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port =
        htons(static_cast<std::uint16_t>(std::atoi(upstream_.c_str() + upstream_.find(':') + 1)));
    const bool sent = ::inet_pton(AF_INET, upstream_.substr(0, upstream_.find(':')).c_str(),
                                  &address.sin_addr) == 1 &&
                      ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                      sendAll(fd, wire);
    auto head = sent ? readHead(fd, answer) : std::nullopt;
    while (head && head->second.starts_with('1'))  // interim answers
        head = readHead(fd, answer);
    while (head && receive(fd, answer)) {
    }
    ::close(fd);
    if (!head)
        return FaultAction::hangUp();
    FaultAction action = FaultAction::reply(std::atoi(head->second.c_str()));
    for (const auto& [name, value] : head->fields)
        if (!sameText(name, "Content-Length") && !sameText(name, "Transfer-Encoding") &&
            !sameText(name, "Connection"))
            action.headers.emplace_back(name, value);
    if (const auto length = headerOf(head->fields, "Content-Length"); !length.empty())
        action.contentLength = std::strtoull(length.c_str(), nullptr, 10);  // HEAD's included
    const bool chunked = sameText(headerOf(head->fields, "Transfer-Encoding"), "chunked");
    // De-chunked, as the answer goes on with a Content-Length.
    for (std::size_t at = 0, end, size; chunked && (end = answer.find("\r\n", at)) != answer.npos &&
                                        (size = std::strtoull(&answer[at], nullptr, 16)) > 0;
         at = end + 4 + size)
        action.body += answer.substr(end + 2, size);
    if (!chunked)
        action.body = std::move(answer);
    return action;
}

}  // namespace quilo::test
