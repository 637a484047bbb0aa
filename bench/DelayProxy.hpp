// A TCP relay on 127.0.0.1 that makes loopback behave like a long network path, since this
// kernel has no netem. What it models, for each connection and each direction on its own:
//   - propagation delay: every byte arrives `delay` after it has crossed the bottleneck, so a
//     request and its answer pay 2 x delay, and Expect: 100-continue one round trip more;
//   - a handshake: a new connection's first byte leaves 2 x delay after the connection was
//     made, as if SYN and SYN-ACK had crossed the path first;
//   - a bottleneck of `bytesPerSecond` that serialises the bytes in order (0: none). The sum
//     over connections is not capped: the limit is per flow, as on a long path where each
//     connection is bound by its own window or a per-flow shaper.
// Each direction holds at most rate x 2 x delay + 1 MiB (8 MiB without a cap) before it stops
// reading, which is the back-pressure a sender feels. Not modelled: TCP slow start and windows
// (a connection gets its full rate from its first byte), loss and reordering; a reset passes at
// once. Bytes leave in steps of about 2 ms of the rate. It relays bytes without reading them,
// so clients sign for the proxy's host:port and RGW checks the same Host header it receives.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

namespace bench {

struct Shape {
    double delaySeconds = 0.020;
    double bytesPerSecond = 50.0 * 1024 * 1024;
};

struct ProxyStats {
    long connections = 0;
    double mibUp = 0, mibDown = 0;
    // The latest the relay wrote a byte after it was due, while its destination could take it:
    // above a millisecond or so, the proxy itself was the bottleneck.
    double maxLateMs = 0;
    long writes = 0, lateWrites = 0;  // chunks written, and those more than 1 ms late
    double cpuSeconds = 0;
    bool ok = false;
};

// The relay in a child process of its own, so that its CPU is counted apart. It ends when
// stopped, when this process ends, or after its lifetime, whichever comes first.
class ProxyProcess {
  public:
    // upstream: "127.0.0.1:port" or "localhost:port". Null when it cannot start.
    static std::unique_ptr<ProxyProcess> start(const std::string& upstream, const Shape& shape,
                                               int lifetimeSeconds, std::string& error);
    ~ProxyProcess();
    ProxyProcess(const ProxyProcess&) = delete;
    ProxyProcess& operator=(const ProxyProcess&) = delete;

    const std::string& endpoint() const { return endpoint_; }  // 127.0.0.1:port
    double cpuSeconds() const;                                 // so far
    ProxyStats stop();

  private:
    ProxyProcess(pid_t pid, int statsFd, std::string endpoint)
        : pid_(pid), statsFd_(statsFd), endpoint_(std::move(endpoint)) {}
    pid_t pid_;
    int statsFd_;
    std::string endpoint_;
};

std::string describe(const Shape& shape);
std::string describe(const ProxyStats& stats);

// How long a proxy started by a run lives at most, should the run hang.
constexpr int proxyLifetimeSeconds = 4 * 3600;

}  // namespace bench
