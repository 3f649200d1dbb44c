// A network that zavd takes PROXY headers from (--proxy-from ADDR[/BITS]): the load
// balancers in front of it. Only connections whose own peer address is in one of them
// may name another client.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>

class ZavdProxySource {
  public:
    // "ADDR" or "ADDR/BITS", IPv4 or IPv6 numeric; false when it is neither.
    bool Parse(const std::string& text);
    // Whether the peer address (AF_INET, AF_INET6, or an IPv4 address mapped into IPv6)
    // is in this network.
    bool Contains(const sockaddr_storage& peer) const;

  private:
    int m_family = 0;  // AF_INET or AF_INET6
    std::uint8_t m_address[16] = {};
    int m_bits = 0;
};
