#include "requestlib/http/Sockets.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <unordered_map>
#include <utility>

namespace quilo::detail {
namespace {

using Ports = std::pair<long, long>;  // local, remote; {0, 0} until first asked

long portOf(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    return 0;
}

Ports portsOf(curl_socket_t socket) {
    sockaddr_storage local{}, remote{};
    socklen_t localSize = sizeof local, remoteSize = sizeof remote;
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&local), &localSize) != 0 ||
        ::getpeername(socket, reinterpret_cast<sockaddr*>(&remote), &remoteSize) != 0)
        return {0, 0};
    return {portOf(local), portOf(remote)};
}

// Every engine's sockets in one table: curl closes a connection with the callback of the
// transfer that opened it, which may be long gone by then. Never destroyed, since curl may close
// connections while the process exits.
struct SocketTable {
    std::mutex mutex;
    std::unordered_map<curl_socket_t, Ports> ports;
};
SocketTable& table() {
    static auto* sockets = new SocketTable;
    return *sockets;
}

int opened(void*, curl_socket_t socket, curlsocktype) {
    std::lock_guard lock(table().mutex);
    table().ports[socket] = {0, 0};
    return CURL_SOCKOPT_OK;
}

int closing(void*, curl_socket_t socket) {
    {
        std::lock_guard lock(table().mutex);
        table().ports.erase(socket);
    }
    return ::close(socket);
}

curl_socket_t socketWith(const Ports& wanted) {
    std::lock_guard lock(table().mutex);
    for (auto& [socket, ports] : table().ports) {
        if (ports.first == 0)
            ports = portsOf(socket);
        if (ports == wanted)
            return socket;
    }
    return CURL_SOCKET_BAD;
}

}  // namespace

void noteSockets(CURL* easy) {
    curl_easy_setopt(easy, CURLOPT_SOCKOPTFUNCTION, &opened);
    curl_easy_setopt(easy, CURLOPT_CLOSESOCKETFUNCTION, &closing);
}

void acknowledgeAtOnce(CURL* easy) {
#ifdef TCP_QUICKACK
    Ports ports{0, 0};
    if (curl_easy_getinfo(easy, CURLINFO_LOCAL_PORT, &ports.first) != CURLE_OK ||
        curl_easy_getinfo(easy, CURLINFO_PRIMARY_PORT, &ports.second) != CURLE_OK ||
        ports.first == 0)
        return;
    if (const curl_socket_t socket = socketWith(ports); socket != CURL_SOCKET_BAD) {
        const int on = 1;
        ::setsockopt(socket, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
    }
#else
    (void)easy;
#endif
}

}  // namespace quilo::detail
