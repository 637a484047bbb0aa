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
    busy,         // the same, asking to come back in a second (Retry-After)
    cutResponse,  // forwards the request, then closes halfway through the answer
    flipByte,     // forwards the request with one bit of its body's middle byte flipped
    stall,        // answers nothing until the proxy ends
};

// A proxy on 127.0.0.1 in front of a real server, for faults the server would not make: a
// FaultServer that passes each request on over a connection of its own and sends the answer back.
class FaultProxy {
  public:
    // Called under the proxy's lock, once per request, in the order the requests arrive, with
    // the request (only its head when the client waits for 100 Continue).
    using Schedule = std::function<ProxyFault(const ServedRequest&)>;

    // A fault with probability `rate`, its kind drawn from `kinds`; the same seed and the same
    // order of requests give the same faults.
    static Schedule seeded(std::uint32_t seed, double rate, std::vector<ProxyFault> kinds);

    // `upstream` is "host:port" of a numeric IPv4 address.
    FaultProxy(std::string upstream, Schedule schedule);

    std::string host() const { return server_.host(); }

  private:
    ProxyFault decide(const ServedRequest& request);
    FaultAction pass(const ServedRequest& request);
    FaultAction forward(const ServedRequest& request) const;

    const std::string upstream_;
    mutable std::mutex mutex_;
    Schedule schedule_;
    std::map<std::uint64_t, ProxyFault> decided_;  // by connection, on the head of a request
    FaultServer server_;                           // last, so that its threads end first
};

}  // namespace quilo::test
