#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "FaultServer.hpp"

namespace quilo::test {

// What the proxy does to one request instead of passing it on.
enum class ProxyFault {
    none,
    reset,        // resets the connection once the request has arrived
    slowDown,     // answers 503 SlowDown itself, forwarding nothing, and closes
    cutResponse,  // forwards the request, then closes halfway through the answer
};

// A request as the proxy read it, for the schedule to decide on.
struct ProxiedRequest {
    std::uint64_t sequence = 0;  // 0 for the first request through the proxy
    std::uint64_t connection = 0;
    std::string method;
    std::string target;
};

// A proxy on 127.0.0.1 in front of a real server, for faults the server would not make: a
// FaultServer that passes each request on over a connection of its own and sends the answer back.
class FaultProxy {
  public:
    using Schedule = std::function<ProxyFault(const ProxiedRequest&)>;

    // Requests whose sequence is offset, offset + n, offset + 2n, ... get `fault`.
    static Schedule every(std::uint64_t n, ProxyFault fault, std::uint64_t offset = 0);
    // Each request gets a fault with probability `rate`, its kind drawn from `kinds`; the
    // same seed and the same order of requests give the same faults.
    static Schedule seeded(std::uint32_t seed, double rate, std::vector<ProxyFault> kinds);

    // `upstream` is "host:port" of a numeric IPv4 address. Without a schedule nothing is faulted.
    explicit FaultProxy(std::string upstream, Schedule schedule = {});

    // Called under the proxy's lock, one request at a time.
    void setSchedule(Schedule schedule);

    std::string host() const { return server_.host(); }
    int port() const { return server_.port(); }

    struct Counts {
        std::uint64_t connections = 0;
        std::uint64_t requests = 0;
        std::uint64_t resets = 0;
        std::uint64_t slowDowns = 0;
        std::uint64_t cutResponses = 0;
    };
    Counts counts() const;

  private:
    ProxyFault decide(const ServedRequest& request);
    FaultAction pass(const ServedRequest& request);
    FaultAction forward(const ServedRequest& request) const;

    const std::string upstream_;
    mutable std::mutex mutex_;
    Schedule schedule_;
    Counts counts_;
    std::map<std::uint64_t, ProxyFault> decided_;  // by connection, on the head of a request
    FaultServer server_;                           // last, so that its threads end first
};

}  // namespace quilo::test
