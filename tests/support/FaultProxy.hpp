#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quilo::test {

// What the proxy does to one request instead of passing it on.
enum class ProxyFault {
    none,
    reset,        // resets the connection once the request's head has arrived
    slowDown,     // answers 503 SlowDown itself, forwarding nothing, and closes
    cutResponse,  // forwards the request, then closes halfway through the answer
};

// The head of a request as the proxy read it, for the schedule to decide on.
struct ProxiedRequest {
    std::uint64_t sequence = 0;  // 0 for the first request through the proxy
    std::uint64_t connection = 0;
    std::string method;
    std::string target;
};

// A TCP proxy on 127.0.0.1 in front of a real server, for tests that need faults the server
// would not make. It follows HTTP/1.1 message boundaries (Content-Length bodies, 1xx interim
// answers) so that faults land on whole requests; a chunked request body is passed through
// with no more faults on that connection. One thread per connection; the destructor ends them.
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
    ~FaultProxy();
    FaultProxy(const FaultProxy&) = delete;
    FaultProxy& operator=(const FaultProxy&) = delete;

    // Called under the proxy's lock, one request at a time.
    void setSchedule(Schedule schedule);

    std::string host() const;  // "127.0.0.1:<port>"
    int port() const { return port_; }

    struct Counts {
        std::uint64_t connections = 0;
        std::uint64_t requests = 0;
        std::uint64_t resets = 0;
        std::uint64_t slowDowns = 0;
        std::uint64_t cutResponses = 0;
    };
    Counts counts() const;

  private:
    struct Connection {
        std::uint64_t id = 0;
        int client = -1;
        int upstream = -1;
        bool done = false;
        std::thread thread;
    };
    class Session;

    void acceptLoop();
    void reapFinished();
    ProxyFault decide(ProxiedRequest& request);
    void count(ProxyFault fault);
    bool stopping() const;

    std::string upstreamHost_;
    int upstreamPort_ = 0;
    int listenFd_ = -1;
    int port_ = 0;
    std::thread acceptThread_;

    mutable std::mutex mutex_;
    bool stopping_ = false;
    Schedule schedule_;
    std::list<Connection> connections_;
    Counts counts_;
};

}  // namespace quilo::test
