// The delay proxy's event loop: one thread, epoll, each direction of each connection a queue of
// chunks stamped with the time they may leave.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstddef>
#include <deque>
#include <list>
#include <memory>
#include <optional>

#include "DelayProxy.hpp"

namespace bench {

using Clock = std::chrono::steady_clock;
using Time = Clock::time_point;

// One direction of one connection: bytes read from one socket, held, written to the other.
class Pipe {
  public:
    Pipe(int from, int to, const Shape& shape, Time linkFree);

    void readable() { readable_ = true; }
    void block() { blocked_ = true; }
    void writable(Time now);
    // Both return false when the connection broke.
    bool fill(Time now);
    bool drain(Time now, ProxyStats& stats);

    // When the pipe needs the loop again: at once while it has bytes to read and room for them,
    // else when its next chunk is due; nullopt while it waits for its sockets.
    std::optional<Time> wake(Time now) const;
    bool finished() const { return fin_ && queue_.empty(); }
    std::size_t moved() const { return moved_; }

  private:
    struct Chunk {
        std::unique_ptr<char[]> bytes;
        std::size_t size = 0;  // 0: the sender's FIN
        std::size_t sent = 0;
        Time due;
    };
    bool wantsRead() const { return !eof_ && queued_ < cap_; }
    Time schedule(std::size_t bytes, Time now);
    void push(Chunk chunk);

    int from_, to_;
    Shape shape_;
    std::size_t cap_, readSize_;
    std::deque<Chunk> queue_;
    std::size_t queued_ = 0, moved_ = 0;
    Time linkFree_;   // when the bottleneck has sent all that was queued so far
    Time unblocked_;  // since when the destination takes bytes again
    bool readable_ = false, blocked_ = false, eof_ = false, fin_ = false;
};

class Relay {
  public:
    Relay(int listenFd, int signalFd, sockaddr_in upstream, Shape shape);
    ~Relay();
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;
    // Until a signal arrives on signalFd or the deadline passes.
    void run(Time deadline);
    // Counting the connections still open.
    ProxyStats stats() const;

  private:
    struct Link;
    struct Side {
        Link* link;
        int fd;
    };
    struct Link {
        Side client, server;
        Pipe up, down;  // client to server, server to client
        bool connected = false;
        bool broken = false;
    };
    void accept(Time now);
    void onEvent(Side& side, unsigned events, Time now);
    bool pump(Link& link, Time now);
    void close(Link& link);
    Time nextWake(Time now, Time deadline) const;

    int listen_, signal_, epoll_;
    sockaddr_in upstream_;
    Shape shape_;
    std::list<Link> links_;
    ProxyStats stats_;
};

}  // namespace bench
