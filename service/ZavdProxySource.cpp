#include "service/ZavdProxySource.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

bool ZavdProxySource::Parse(const std::string& text) {
    const std::size_t slash = text.find('/');
    const std::string address = text.substr(0, slash);
    int family = AF_INET;
    std::uint8_t bytes[16] = {};
    if (::inet_pton(AF_INET, address.c_str(), bytes) != 1) {
        family = AF_INET6;
        if (::inet_pton(AF_INET6, address.c_str(), bytes) != 1) {
            return false;
        }
    }
    const int most = family == AF_INET ? 32 : 128;
    int bits = most;
    if (slash != std::string::npos) {
        const std::string number = text.substr(slash + 1);
        if (number.empty() || number.size() > 3 ||
            number.find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
        bits = std::stoi(number);
        if (bits > most) {
            return false;
        }
    }
    m_family = family;
    std::memcpy(m_address, bytes, sizeof bytes);
    m_bits = bits;
    return true;
}

bool ZavdProxySource::Contains(const sockaddr_storage& peer) const {
    const std::uint8_t* bytes = nullptr;
    if (peer.ss_family == AF_INET && m_family == AF_INET) {
        bytes = reinterpret_cast<const std::uint8_t*>(
            &reinterpret_cast<const sockaddr_in&>(peer).sin_addr);
    } else if (peer.ss_family == AF_INET6) {
        const in6_addr& v6 = reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr;
        if (m_family == AF_INET6) {
            bytes = v6.s6_addr;
        } else if (IN6_IS_ADDR_V4MAPPED(&v6)) {
            bytes = v6.s6_addr + 12;
        }
    }
    if (bytes == nullptr) {
        return false;
    }
    const int whole = m_bits / 8;
    const int rest = m_bits % 8;
    if (std::memcmp(bytes, m_address, static_cast<std::size_t>(whole)) != 0) {
        return false;
    }
    const auto mask = static_cast<std::uint8_t>(0xFF << (8 - rest));
    return rest == 0 || ((bytes[whole] ^ m_address[whole]) & mask) == 0;
}
