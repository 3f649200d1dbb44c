// A socket address as zav's lines show it: the address as dotted IPv4 (also for an
// IPv4-mapped IPv6 address, as the sockets of a dual-stack listener report IPv4 peers)
// or IPv6 text, and the port in decimal; joined as ADDR:PORT, with an IPv6 address in
// brackets ([ADDR]:PORT), or spoken as "ADDR port PORT" in the log's sentences.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <string_view>

class SocketAddress {
  public:
    // The address of the socket's peer, or of the socket itself; not Valid() when it
    // cannot be read or is no IPv4 or IPv6 address.
    static SocketAddress Peer(int socket);
    static SocketAddress Local(int socket);
    // An address of family 4 (4 bytes) or 6 (16 bytes) in network order, as a PROXY
    // header carries it.
    static SocketAddress FromBytes(int family, const std::uint8_t* bytes, std::uint16_t port);
    explicit SocketAddress(const sockaddr_storage& address);

    bool Valid() const { return !m_host.empty(); }
    // The address text; empty when not Valid().
    const std::string& Host() const { return m_host; }
    unsigned Port() const { return m_port; }
    // ADDR:PORT, [ADDR]:PORT for IPv6.
    std::string Text() const { return Join(m_host, std::to_string(m_port)); }

    // host and port as Text() joins them.
    static std::string Join(std::string_view host, std::string_view port);
    // "host port PORT".
    static std::string Spoken(std::string_view host, std::string_view port);

  private:
    SocketAddress() = default;
    std::string m_host;
    unsigned m_port = 0;
};
