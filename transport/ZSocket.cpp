#include "transport/ZSocket.h"

#include "base/SocketAddress.h"
#include "infra/ZTraceScope.h"

namespace {

// The peer's address, as far as it can be read: a socket number out of range reads as none.
SocketAddress Peer(SOCKET socket) {
    return SocketAddress::Peer(socket <= 0x7FFFFFFF ? static_cast<int>(socket) : -1);
}

SocketAddress Local(SOCKET socket) {
    return SocketAddress::Local(socket <= 0x7FFFFFFF ? static_cast<int>(socket) : -1);
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

// An address that cannot be read shows as a zeroed IPv4 record reads on the original
// platform: 0.0.0.0, port 0.
std::string ZSocket::GetConnectionIP() {
    ZTraceScope trace;
    trace.Trace("ZSocket::GetConnectionIP( )");
    const SocketAddress address = Peer(m_socket);
    std::string s = address.Valid() ? address.Host() : "0.0.0.0";
    trace.Trace("s = ", s);
    return s;
}

std::string ZSocket::GetConnectionPort() {
    ZTraceScope trace;
    trace.Trace("ZSocket::GetConnectionPort( )");
    std::string s = std::to_string(Peer(m_socket).Port());
    trace.Trace("s = ", s);
    return s;
}

std::string ZSocket::GetLocalIP() {
    const SocketAddress address = Local(m_socket);
    return address.Valid() ? address.Host() : "0.0.0.0";
}

std::string ZSocket::GetLocalPort() {
    return std::to_string(Local(m_socket).Port());
}
