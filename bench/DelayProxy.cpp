#include "DelayProxy.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "Relay.hpp"

namespace bench {

namespace {

std::optional<sockaddr_in> parseAddress(const std::string& hostPort) {
    const auto colon = hostPort.rfind(':');
    if (colon == std::string::npos) {
        return std::nullopt;
    }
    std::string host = hostPort.substr(0, colon);
    if (host == "localhost") {
        host = "127.0.0.1";
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    const int port = std::atoi(hostPort.c_str() + colon + 1);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (port <= 0 || port > 65535 || inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
        return std::nullopt;
    }
    return address;
}

// A listening socket on 127.0.0.1 at a port the kernel picks; -1 on failure.
int listenOnLoopback(int& port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    auto* raw = reinterpret_cast<sockaddr*>(&address);
    if (fd < 0 || bind(fd, raw, sizeof address) < 0 || listen(fd, 512) < 0 ||
        getsockname(fd, raw, &length) < 0) {
        ::close(fd);
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

// The child's whole life: relay until told to stop, then report.
[[noreturn]] void serve(int listenFd, int statsFd, sockaddr_in upstream, const Shape& shape,
                        int lifetimeSeconds, pid_t parent) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) {  // the run ended before the line above took effect
        _exit(0);
    }
    sigset_t stopping;
    sigemptyset(&stopping);
    sigaddset(&stopping, SIGTERM);
    sigaddset(&stopping, SIGINT);
    sigprocmask(SIG_BLOCK, &stopping, nullptr);
    signal(SIGPIPE, SIG_IGN);
    const int signalFd = signalfd(-1, &stopping, SFD_CLOEXEC | SFD_NONBLOCK);
    Relay relay(listenFd, signalFd, upstream, shape);
    relay.run(Clock::now() + std::chrono::seconds(lifetimeSeconds));
    const ProxyStats stats = relay.stats();
    dprintf(statsFd, "%ld %.3f %.3f %.3f %ld %ld\n", stats.connections, stats.mibUp, stats.mibDown,
            stats.maxLateMs, stats.writes, stats.lateWrites);
    _exit(0);
}

}  // namespace

std::unique_ptr<ProxyProcess> ProxyProcess::start(const std::string& upstream, const Shape& shape,
                                                  int lifetimeSeconds, std::string& error) {
    const auto address = parseAddress(upstream);
    if (!address) {
        error = "the proxy needs a numeric IPv4 host:port, not " + upstream;
        return nullptr;
    }
    int port = 0, stats[2];
    const int listenFd = listenOnLoopback(port);
    if (listenFd < 0 || pipe2(stats, O_CLOEXEC) < 0) {
        error = "cannot listen on 127.0.0.1";
        return nullptr;
    }
    std::fflush(nullptr);  // the child must not write out the parent's buffers again
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        ::close(stats[0]);
        serve(listenFd, stats[1], *address, shape, lifetimeSeconds, parent);
    }
    ::close(listenFd);
    ::close(stats[1]);
    if (pid < 0) {
        ::close(stats[0]);
        error = "cannot start the proxy";
        return nullptr;
    }
    return std::unique_ptr<ProxyProcess>(
        new ProxyProcess(pid, stats[0], "127.0.0.1:" + std::to_string(port)));
}

ProxyProcess::~ProxyProcess() {
    stop();
}

double ProxyProcess::cpuSeconds() const {
    std::ifstream file("/proc/" + std::to_string(pid_) + "/stat");
    std::string line;
    std::getline(file, line);
    std::istringstream fields(line.substr(line.rfind(')') + 2));  // past the command's name
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i >= 14) {  // utime and stime
            ticks += std::stod(field);
        }
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

ProxyStats ProxyProcess::stop() {
    ProxyStats stats;
    if (pid_ <= 0) {
        return stats;
    }
    kill(pid_, SIGTERM);
    char line[256] = {};
    std::size_t used = 0;
    for (ssize_t n;
         used + 1 < sizeof line && (n = read(statsFd_, line + used, sizeof line - used - 1)) > 0;) {
        used += static_cast<std::size_t>(n);
    }
    int status = 0;
    rusage usage{};
    wait4(pid_, &status, 0, &usage);
    ::close(statsFd_);
    pid_ = -1;
    stats.ok = std::sscanf(line, "%ld %lf %lf %lf %ld %ld", &stats.connections, &stats.mibUp,
                           &stats.mibDown, &stats.maxLateMs, &stats.writes, &stats.lateWrites) == 6;
    stats.cpuSeconds = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 +
                       usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
    return stats;
}

std::string describe(const Shape& shape) {
    char delay[96];
    std::snprintf(delay, sizeof delay, "%.1f ms one way in each direction (%.1f ms a round trip)",
                  shape.delaySeconds * 1000, shape.delaySeconds * 2000);
    char rate[64] = "no rate cap";
    if (shape.bytesPerSecond > 0) {
        std::snprintf(rate, sizeof rate, "%.1f MiB/s per connection and direction",
                      shape.bytesPerSecond / 1048576);
    }
    return std::string(delay) + ", " + rate;
}

std::string describe(const ProxyStats& stats) {
    const double gib = (stats.mibUp + stats.mibDown) / 1024;
    char text[256];
    std::snprintf(text, sizeof text,
                  "proxy: %ld connections, %.2f GiB relayed, cpu %.3f s (%.3f s per GiB); "
                  "writes more than 1 ms late: %ld of %ld, the latest %.2f ms",
                  stats.connections, gib, stats.cpuSeconds, gib > 0 ? stats.cpuSeconds / gib : 0.0,
                  stats.lateWrites, stats.writes, stats.maxLateMs);
    return text;
}

}  // namespace bench
