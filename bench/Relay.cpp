#include "Relay.hpp"

#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace bench {

namespace {

constexpr std::size_t KiB = 1024, MiB = 1024 * KiB;

Clock::duration span(double seconds) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

bool wouldBlock() {
    return errno == EAGAIN || errno == EWOULDBLOCK;
}

}  // namespace

Pipe::Pipe(int from, int to, const Shape& shape, Time linkFree)
    : from_(from), to_(to), shape_(shape), linkFree_(linkFree), unblocked_(linkFree) {
    const double rate = shape.bytesPerSecond;
    // Room for what is on the way plus a backlog, so that the bottleneck never runs dry.
    cap_ = rate > 0 ? static_cast<std::size_t>(rate * 2 * shape.delaySeconds) + MiB : 8 * MiB;
    // Reads of about 2 ms of the rate: smooth pacing at a few hundred wake-ups a second.
    readSize_ = rate > 0 ? std::clamp<std::size_t>(rate / 500, 64 * KiB, 256 * KiB) : 256 * KiB;
}

void Pipe::writable(Time now) {
    if (blocked_) {
        blocked_ = false;
        unblocked_ = now;
    }
}

Time Pipe::schedule(std::size_t bytes, Time now) {
    const Time start = std::max(now, linkFree_);
    linkFree_ = shape_.bytesPerSecond > 0 ? start + span(bytes / shape_.bytesPerSecond) : start;
    return linkFree_ + span(shape_.delaySeconds);
}

void Pipe::push(Chunk chunk) {
    queued_ += chunk.size;
    queue_.push_back(std::move(chunk));
}

bool Pipe::fill(Time now) {
    // A few reads at a time, so that with no delay the bytes leave while still in the cache.
    for (int reads = 0; reads < 4 && readable_ && wantsRead(); ++reads) {
        const std::size_t room = std::min(readSize_, cap_ - queued_);
        auto bytes = std::make_unique_for_overwrite<char[]>(room);
        const ssize_t n = ::read(from_, bytes.get(), room);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (!wouldBlock()) {
                return false;
            }
            readable_ = false;
            break;
        }
        const auto size = static_cast<std::size_t>(n);
        if (size == 0) {
            eof_ = true;
            push({nullptr, 0, 0, schedule(0, now)});
            break;
        }
        if (size < room / 4) {  // a small read would pin a large buffer while it waits
            auto exact = std::make_unique_for_overwrite<char[]>(size);
            std::memcpy(exact.get(), bytes.get(), size);
            bytes = std::move(exact);
        }
        push({std::move(bytes), size, 0, schedule(size, now)});
    }
    return true;
}

bool Pipe::drain(Time now, ProxyStats& stats) {
    while (!blocked_ && !queue_.empty() && queue_.front().due <= now) {
        Chunk& chunk = queue_.front();
        if (chunk.sent == 0 && chunk.due >= unblocked_) {
            const double late = std::chrono::duration<double, std::milli>(now - chunk.due).count();
            stats.maxLateMs = std::max(stats.maxLateMs, late);
            ++stats.writes;
            stats.lateWrites += late > 1 ? 1 : 0;
        }
        if (chunk.size == 0) {
            ::shutdown(to_, SHUT_WR);
            fin_ = true;
            queue_.pop_front();
            continue;
        }
        const ssize_t n = ::send(to_, chunk.bytes.get() + chunk.sent, chunk.size - chunk.sent,
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (wouldBlock()) {
                blocked_ = true;
            } else if (errno != EINTR) {
                return false;
            }
            continue;
        }
        chunk.sent += static_cast<std::size_t>(n);
        moved_ += static_cast<std::size_t>(n);
        if (chunk.sent == chunk.size) {
            queued_ -= chunk.size;
            queue_.pop_front();
        }
    }
    return true;
}

std::optional<Time> Pipe::wake(Time now) const {
    if (readable_ && wantsRead()) {
        return now;
    }
    if (blocked_ || queue_.empty()) {
        return std::nullopt;
    }
    return queue_.front().due;
}

Relay::Relay(int listenFd, int signalFd, sockaddr_in upstream, Shape shape)
    : listen_(listenFd),
      signal_(signalFd),
      epoll_(epoll_create1(EPOLL_CLOEXEC)),
      upstream_(upstream),
      shape_(shape) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = &listen_;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, listen_, &event);
    event.data.ptr = &signal_;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, signal_, &event);
}

Relay::~Relay() {
    for (auto& link : links_) {
        ::close(link.client.fd);
        ::close(link.server.fd);
    }
    ::close(epoll_);
}

void Relay::accept(Time now) {
    for (;;) {
        const int client = accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0) {
            return;
        }
        const int server = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const auto* address = reinterpret_cast<const sockaddr*>(&upstream_);
        if (server < 0 ||
            (connect(server, address, sizeof upstream_) < 0 && errno != EINPROGRESS)) {
            ::close(client);
            ::close(server);
            continue;
        }
        const int one = 1;  // the proxy adds the delay it is asked for and no other
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        const Time handshake = now + span(2 * shape_.delaySeconds);
        Link& link = links_.emplace_back(Link{{nullptr, client},
                                              {nullptr, server},
                                              Pipe(client, server, shape_, handshake),
                                              Pipe(server, client, shape_, now)});
        link.client.link = link.server.link = &link;
        link.up.block();  // until RGW has taken the connection
        ++stats_.connections;
        // Edge-triggered, once for the socket's life: the pipes remember what each edge said,
        // and the loop never pays a system call to change what it waits for.
        for (Side* side : {&link.client, &link.server}) {
            epoll_event event{};
            event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
            event.data.ptr = side;
            epoll_ctl(epoll_, EPOLL_CTL_ADD, side->fd, &event);
        }
    }
}

void Relay::onEvent(Side& side, unsigned events, Time now) {
    Link& link = *side.link;
    const bool isServer = &side == &link.server;
    if (events & EPOLLERR) {
        link.broken = true;
        return;
    }
    if (isServer && !link.connected) {
        if (events & (EPOLLOUT | EPOLLHUP)) {
            int error = 0;
            socklen_t length = sizeof error;
            getsockopt(side.fd, SOL_SOCKET, SO_ERROR, &error, &length);
            link.broken = error != 0;
            link.connected = error == 0;
            link.up.writable(now);
            link.down.readable();  // an edge that came with the connection's is not seen again
        }
        return;
    }
    Pipe& from = isServer ? link.down : link.up;
    Pipe& to = isServer ? link.up : link.down;
    if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP)) {
        from.readable();
    }
    if (events & (EPOLLOUT | EPOLLHUP)) {
        to.writable(now);
    }
}

bool Relay::pump(Link& link, Time now) {
    if (link.broken) {
        return false;
    }
    // Draining first makes room for the reads; draining again sends at once what needs no wait.
    for (Pipe* pipe : {&link.up, &link.down}) {
        if (pipe == &link.down && !link.connected) {
            continue;
        }
        if (!pipe->drain(now, stats_) || !pipe->fill(now) || !pipe->drain(now, stats_)) {
            return false;
        }
    }
    return !(link.up.finished() && link.down.finished());
}

void Relay::close(Link& link) {
    stats_.mibUp += link.up.moved() / double(MiB);
    stats_.mibDown += link.down.moved() / double(MiB);
    ::close(link.client.fd);
    ::close(link.server.fd);
}

ProxyStats Relay::stats() const {
    ProxyStats stats = stats_;
    for (const auto& link : links_) {
        stats.mibUp += link.up.moved() / double(MiB);
        stats.mibDown += link.down.moved() / double(MiB);
    }
    return stats;
}

Time Relay::nextWake(Time now, Time deadline) const {
    Time wake = deadline;
    for (const auto& link : links_) {
        for (const Pipe* pipe : {&link.up, &link.down}) {
            if (auto due = pipe->wake(now)) {
                wake = std::min(wake, *due);
            }
        }
    }
    return wake;
}

void Relay::run(Time deadline) {
    epoll_event events[64];
    for (Time now = Clock::now(); now < deadline; now = Clock::now()) {
        const auto wait = std::max<std::chrono::nanoseconds>(
            std::chrono::nanoseconds(0),
            std::chrono::duration_cast<std::chrono::nanoseconds>(nextWake(now, deadline) - now));
        const timespec timeout{static_cast<time_t>(wait.count() / 1'000'000'000),
                               static_cast<long>(wait.count() % 1'000'000'000)};
        const int n = epoll_pwait2(epoll_, events, 64, &timeout, nullptr);
        now = Clock::now();
        for (int i = 0; i < n; ++i) {
            void* tag = events[i].data.ptr;
            if (tag == &signal_) {
                return;
            }
            if (tag == &listen_) {
                accept(now);
            } else {
                onEvent(*static_cast<Side*>(tag), events[i].events, now);
            }
        }
        for (auto link = links_.begin(); link != links_.end();) {
            if (pump(*link, now)) {
                ++link;
            } else {
                close(*link);
                link = links_.erase(link);
            }
        }
    }
}

}  // namespace bench
