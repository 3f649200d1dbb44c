#include "service/ProxyHeader.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <string_view>

namespace {

using Result = ProxyHeader::Result;
using State = ProxyHeader::State;
using Error = ProxyHeader::Error;

constexpr std::uint8_t kSignature[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D,
                                         0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
constexpr std::string_view kV1Prefix = "PROXY ";
constexpr std::size_t kV2Fixed = 16;  // signature, version and command, family, length

Result Invalid(Error error) {
    Result r;
    r.state = State::Invalid;
    r.error = error;
    return r;
}

Result Incomplete(std::size_t more) {
    Result r;
    r.length = more;
    return r;
}

Result Done(std::size_t length) {
    Result r;
    r.state = State::Done;
    r.length = length;
    return r;
}

bool Digit(char c) {
    return c >= '0' && c <= '9';
}

// A decimal number from 0 to limit without a leading zero (so "0" alone).
bool Decimal(std::string_view text, unsigned limit, unsigned& value) {
    if (text.empty() || text.size() > 5 || (text[0] == '0' && text.size() > 1)) {
        return false;
    }
    value = 0;
    for (char c : text) {
        if (!Digit(c)) {
            return false;
        }
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value <= limit;
}

// Exactly four numbers 0..255 without leading zeros, separated by single dots.
bool ParseIPv4(std::string_view text, std::uint8_t* out) {
    for (int part = 0; part < 4; ++part) {
        const std::size_t dot = part < 3 ? text.find('.') : text.size();
        unsigned value = 0;
        if (dot == std::string_view::npos || !Decimal(text.substr(0, dot), 255, value)) {
            return false;
        }
        out[part] = static_cast<std::uint8_t>(value);
        text.remove_prefix(part < 3 ? dot + 1 : dot);
    }
    return true;
}

bool ParseIPv6(std::string_view text, std::uint8_t* out) {
    char buffer[48];
    if (text.size() >= sizeof buffer) {
        return false;
    }
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    return ::inet_pton(AF_INET6, buffer, out) == 1;
}

// The line between "PROXY " and CRLF.
Result ParseV1Line(std::string_view line, std::size_t length) {
    const std::size_t space = line.find(' ');
    const std::string_view protocol = line.substr(0, space);
    if (protocol == "UNKNOWN") {
        return Done(length);  // what follows is to be ignored
    }
    const bool v4 = protocol == "TCP4";
    if (!v4 && protocol != "TCP6") {
        return Invalid(Error::V1Protocol);
    }
    std::string_view fields[4];
    std::string_view rest = space == std::string_view::npos ? "" : line.substr(space + 1);
    for (int i = 0; i < 4; ++i) {
        const std::size_t end = i < 3 ? rest.find(' ') : rest.size();
        if (space == std::string_view::npos || end == std::string_view::npos || end == 0) {
            return Invalid(Error::V1Syntax);
        }
        fields[i] = rest.substr(0, end);
        rest.remove_prefix(i < 3 ? end + 1 : end);
    }
    if (fields[3].find(' ') != std::string_view::npos) {
        return Invalid(Error::V1Syntax);
    }
    Result r = Done(length);
    std::uint8_t destination[16] = {};
    if (v4 ? !ParseIPv4(fields[0], r.address) || !ParseIPv4(fields[1], destination)
           : !ParseIPv6(fields[0], r.address) || !ParseIPv6(fields[1], destination)) {
        return Invalid(Error::V1Address);
    }
    unsigned source = 0;
    unsigned target = 0;
    if (!Decimal(fields[2], 65535, source) || !Decimal(fields[3], 65535, target)) {
        return Invalid(Error::V1Port);
    }
    r.family = v4 ? 4 : 6;
    r.port = static_cast<std::uint16_t>(source);
    return r;
}

Result ParseV1(const std::uint8_t* data, std::size_t size) {
    if (std::memcmp(data, kV1Prefix.data(), std::min(size, kV1Prefix.size())) != 0) {
        return Invalid(Error::NotProxy);
    }
    // The line ends at the first CR, which must be followed by LF; a LF alone is wrong.
    for (std::size_t i = 0; i < size && i < ProxyHeader::kMaxV1; ++i) {
        if (data[i] == '\n') {
            return Invalid(Error::V1LineEnd);
        }
        if (data[i] != '\r') {
            continue;
        }
        if (i + 2 > ProxyHeader::kMaxV1) {
            return Invalid(Error::V1TooLong);
        }
        if (i + 1 == size) {
            return Incomplete(1);
        }
        if (data[i + 1] != '\n') {
            return Invalid(Error::V1LineEnd);
        }
        const std::string_view line(reinterpret_cast<const char*>(data) + kV1Prefix.size(),
                                    i - kV1Prefix.size());
        return ParseV1Line(line, i + 2);
    }
    if (size >= ProxyHeader::kMaxV1) {
        return Invalid(Error::V1TooLong);
    }
    // Where the line ends is seen only byte by byte.
    return Incomplete(size < ProxyHeader::kMinLength ? ProxyHeader::kMinLength - size : 1);
}

Result ParseV2(const std::uint8_t* data, std::size_t size) {
    if (std::memcmp(data, kSignature, std::min(size, sizeof kSignature)) != 0) {
        return Invalid(Error::NotProxy);
    }
    if (size > 12) {
        if ((data[12] >> 4) != 2) {
            return Invalid(Error::V2Version);
        }
        if ((data[12] & 0x0F) > 1) {
            return Invalid(Error::V2Command);
        }
    }
    if (size > 13 && ((data[13] >> 4) > 3 || (data[13] & 0x0F) > 2)) {
        return Invalid(Error::V2Family);
    }
    if (size < kV2Fixed) {
        return Incomplete(kV2Fixed - size);
    }
    const std::size_t total = kV2Fixed + (static_cast<std::size_t>(data[14]) << 8 | data[15]);
    if (total > ProxyHeader::kMaxV2) {
        return Invalid(Error::V2TooLong);
    }
    const bool proxy = (data[12] & 0x0F) == 1;
    // TCP over IPv4 and over IPv6 carry the client's address; LOCAL and every other
    // family fall back to the connection's own addresses, as the protocol allows.
    const int family = !proxy ? 0 : data[13] == 0x11 ? 4 : data[13] == 0x21 ? 6 : 0;
    const std::size_t addresses = family == 4 ? 12 : family == 6 ? 36 : 0;
    if (total - kV2Fixed < addresses) {
        return Invalid(Error::V2AddressLength);
    }
    if (size < total) {
        return Incomplete(total - size);
    }
    Result r = Done(total);  // TLVs after the addresses are skipped
    r.family = family;
    const std::size_t width = family == 4 ? 4 : 16;
    if (family != 0) {
        std::memcpy(r.address, data + kV2Fixed, width);
        const std::uint8_t* port = data + kV2Fixed + 2 * width;
        r.port = static_cast<std::uint16_t>(port[0] << 8 | port[1]);
    }
    return r;
}

}  // namespace

ProxyHeader::Result ProxyHeader::Parse(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return Incomplete(kMinLength);
    }
    if (data[0] == static_cast<std::uint8_t>(kV1Prefix[0])) {
        return ParseV1(data, size);
    }
    if (data[0] == kSignature[0]) {
        return ParseV2(data, size);
    }
    return Invalid(Error::NotProxy);
}

const char* ProxyHeader::Describe(Error error) {
    switch (error) {
        case Error::None:
            return "valid";
        case Error::NotProxy:
            return "not a PROXY header";
        case Error::V1TooLong:
            return "version 1 line longer than 107 bytes";
        case Error::V1LineEnd:
            return "version 1 line with a CR or LF alone";
        case Error::V1Protocol:
            return "version 1 protocol other than TCP4, TCP6 or UNKNOWN";
        case Error::V1Syntax:
            return "version 1 fields malformed";
        case Error::V1Address:
            return "version 1 address malformed";
        case Error::V1Port:
            return "version 1 port malformed";
        case Error::V2Version:
            return "version 2 signature with another version";
        case Error::V2Command:
            return "version 2 command other than LOCAL or PROXY";
        case Error::V2Family:
            return "version 2 address family or transport unknown";
        case Error::V2TooLong:
            return "version 2 header longer than 4096 bytes";
        case Error::V2AddressLength:
            return "version 2 length shorter than its addresses";
    }
    return "unknown error";
}
