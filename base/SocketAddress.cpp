#include "base/SocketAddress.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace {

using SocketName = int (*)(int, sockaddr*, socklen_t*);

sockaddr_storage Named(int socket, SocketName name) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (socket < 0 || name(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        address = sockaddr_storage{};  // no family: not Valid()
    }
    return address;
}

std::string AddressText(int family, const void* address) {
    char text[INET6_ADDRSTRLEN] = {};
    return ::inet_ntop(family, address, text, sizeof text) != nullptr ? text : "";
}

}  // namespace

SocketAddress::SocketAddress(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        m_host = IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)
                     ? AddressText(AF_INET, &v6.sin6_addr.s6_addr[12])
                     : AddressText(AF_INET6, &v6.sin6_addr);
        m_port = ntohs(v6.sin6_port);
    } else if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        m_host = AddressText(AF_INET, &v4.sin_addr);
        m_port = ntohs(v4.sin_port);
    }
    if (m_host.empty()) {
        m_port = 0;
    }
}

SocketAddress SocketAddress::Peer(int socket) {
    return SocketAddress(Named(socket, ::getpeername));
}

SocketAddress SocketAddress::Local(int socket) {
    return SocketAddress(Named(socket, ::getsockname));
}

SocketAddress SocketAddress::FromBytes(int family, const std::uint8_t* bytes, std::uint16_t port) {
    sockaddr_storage address{};
    if (family == 4) {
        auto& v4 = reinterpret_cast<sockaddr_in&>(address);
        v4.sin_family = AF_INET;
        std::memcpy(&v4.sin_addr, bytes, 4);
        v4.sin_port = htons(port);
    } else if (family == 6) {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
        v6.sin6_family = AF_INET6;
        std::memcpy(&v6.sin6_addr, bytes, 16);
        v6.sin6_port = htons(port);
    }
    return SocketAddress(address);
}

std::string SocketAddress::Join(std::string_view host, std::string_view port) {
    const bool v6 = host.find(':') != std::string_view::npos;
    std::string text;
    text.reserve(host.size() + port.size() + 3);
    text.append(v6 ? "[" : "").append(host).append(v6 ? "]:" : ":").append(port);
    return text;
}

std::string SocketAddress::Spoken(std::string_view host, std::string_view port) {
    return std::string(host) + " port " + std::string(port);
}
