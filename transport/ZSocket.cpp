#include "transport/ZSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "infra/ZTraceScope.h"

namespace {

// The peer's address; a zeroed IPv4 record when it cannot be read, as an unfilled
// record reads on the original platform.
sockaddr_storage Peer(SOCKET socket) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (socket < 0 || socket > 0x7FFFFFFF ||
        ::getpeername(static_cast<int>(socket), reinterpret_cast<sockaddr*>(&address), &length) !=
            0) {
        address = sockaddr_storage{};
        address.ss_family = AF_INET;
    }
    return address;
}

}  // namespace

ZSocket::ZSocket(SOCKET socket) : m_socket(socket) {
    ZTraceScope trace;
    trace.Trace("ZSocket::ZSocket( ", static_cast<long long>(socket), " )");
}

int ZSocket::WSAStartup() {
    ZTraceScope trace;
    trace.Trace("ZSocket::WSAStartup( )");
    WSADATA data{};
    const int result = ::WSAStartup(0x0101, &data);
    trace.Trace("iRet = ", result);
    return result;
}

std::string ZSocket::GetConnectionIP() {
    ZTraceScope trace;
    trace.Trace("ZSocket::GetConnectionIP( )");
    const sockaddr_storage address = Peer(m_socket);
    char text[INET6_ADDRSTRLEN] = "0.0.0.0";
    if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
            ::inet_ntop(AF_INET, &v6.sin6_addr.s6_addr[12], text, sizeof text);
        } else {
            ::inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
        }
    } else if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        ::inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
    }
    std::string s = text;
    trace.Trace("s = ", s);
    return s;
}

std::string ZSocket::GetConnectionPort() {
    ZTraceScope trace;
    trace.Trace("ZSocket::GetConnectionPort( )");
    const sockaddr_storage address = Peer(m_socket);
    unsigned port = 0;
    if (address.ss_family == AF_INET6) {
        port = ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    } else if (address.ss_family == AF_INET) {
        port = ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    }
    std::string s = std::to_string(port);
    trace.Trace("s = ", s);
    return s;
}
