// The PROXY header parser on a table of version 1 and 2 headers, and the networks that
// --proxy-from names.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <cstring>
#include <string>
#include <vector>

#include "service/ProxyHeader.h"
#include "service/ZavdProxySource.h"

namespace {

using State = ProxyHeader::State;
using Error = ProxyHeader::Error;

ProxyHeader::Result Parse(const std::string& bytes) {
    return ProxyHeader::Parse(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

std::string Text(const ProxyHeader::Result& r) {
    char text[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(r.family == 4 ? AF_INET : AF_INET6, r.address, text, sizeof text);
    return text;
}

const std::string kSignature("\r\n\r\n\0\r\nQUIT\n", 12);

// A version 2 header: version and command, family and transport, then the body with its
// length in front.
std::string V2(std::uint8_t command, std::uint8_t family, const std::string& body) {
    return kSignature + static_cast<char>(command) + static_cast<char>(family) +
           static_cast<char>(body.size() >> 8) + static_cast<char>(body.size() & 0xFF) + body;
}

const std::string kV4Addresses("\xC6\x33\x64\x09\x0A\x00\x00\x01\x17\x70\x00\x16", 12);
const std::string kV6Addresses = std::string("\x20\x01\x0D\xB8", 4) + std::string(11, '\0') +
                                 "\x07" + std::string("\x20\x01\x0D\xB8", 4) +
                                 std::string(11, '\0') + "\x08" +
                                 std::string("\x13\x88\x00\x16", 4);
const std::string kTlvs = std::string("\x04\x00\x03xyz", 6) + std::string("\x05\x00\x02id", 5);

const std::string kFull6 = "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff";  // 39 characters

struct Valid {
    const char* name;
    std::string header;
    int family;
    std::string address;
    unsigned port;
};

std::vector<Valid> ValidHeaders() {
    return {
        {"v1 TCP4", "PROXY TCP4 192.168.0.1 192.168.0.11 56324 443\r\n", 4, "192.168.0.1", 56324},
        {"v1 TCP4 zeros", "PROXY TCP4 0.0.0.0 255.255.255.255 0 65535\r\n", 4, "0.0.0.0", 0},
        {"v1 TCP6", "PROXY TCP6 2001:db8::7 2001:db8::8 5000 22\r\n", 6, "2001:db8::7", 5000},
        {"v1 TCP6 longest", "PROXY TCP6 " + kFull6 + " " + kFull6 + " 65535 65535\r\n", 6,
         "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 65535},
        {"v1 UNKNOWN short", "PROXY UNKNOWN\r\n", 0, "", 0},
        {"v1 UNKNOWN longest, rest ignored",
         "PROXY UNKNOWN " + kFull6 + " " + kFull6 + " 65535 65535\r\n", 0, "", 0},
        {"v2 PROXY TCP4", V2(0x21, 0x11, kV4Addresses), 4, "198.51.100.9", 6000},
        {"v2 PROXY TCP4 with TLVs", V2(0x21, 0x11, kV4Addresses + kTlvs), 4, "198.51.100.9", 6000},
        {"v2 PROXY TCP6 with TLVs", V2(0x21, 0x21, kV6Addresses + kTlvs), 6, "2001:db8::7", 5000},
        {"v2 LOCAL", V2(0x20, 0x00, ""), 0, "", 0},
        {"v2 LOCAL with addresses", V2(0x20, 0x11, kV4Addresses), 0, "", 0},
        {"v2 PROXY UNSPEC", V2(0x21, 0x00, ""), 0, "", 0},
        {"v2 PROXY UDP4 falls back", V2(0x21, 0x12, kV4Addresses), 0, "", 0},
        {"v2 PROXY UNIX falls back", V2(0x21, 0x31, std::string(216, 'u')), 0, "", 0},
        {"v2 longest", V2(0x21, 0x11, kV4Addresses + std::string(4096 - 16 - 12, '\0')), 4,
         "198.51.100.9", 6000},
    };
}

TEST(ProxyHeader, ValidHeadersNameTheClient) {
    ASSERT_EQ(kV6Addresses.size(), 36U);
    for (const Valid& v : ValidHeaders()) {
        SCOPED_TRACE(v.name);
        // What follows the header (the SSH stream) is not part of it.
        const auto r = Parse(v.header + "SSH-2.0-client\r\n");
        ASSERT_EQ(r.state, State::Done);
        EXPECT_EQ(r.length, v.header.size());
        EXPECT_EQ(r.family, v.family);
        if (v.family != 0) {
            EXPECT_EQ(Text(r), v.address);
            EXPECT_EQ(r.port, v.port);
        }
    }
}

// The reader reads as many bytes as the parser asks for: never past the header's end,
// however the header arrives.
TEST(ProxyHeader, TruncatedHeadersAskOnlyForBytesOfTheHeader) {
    for (const Valid& v : ValidHeaders()) {
        SCOPED_TRACE(v.name);
        for (std::size_t size = 0; size < v.header.size(); ++size) {
            const auto r = Parse(v.header.substr(0, size));
            ASSERT_EQ(r.state, State::Incomplete) << size;
            EXPECT_GE(r.length, 1U);
            EXPECT_LE(size + r.length, v.header.size()) << size;
        }
        // Read that way, it ends exactly at its end.
        std::size_t have = 0;
        for (auto r = Parse(""); r.state == State::Incomplete && have < v.header.size();
             r = Parse(v.header.substr(0, have))) {
            have += r.length;
        }
        EXPECT_EQ(have, v.header.size());
    }
}

TEST(ProxyHeader, MalformedHeadersAreRefused) {
    const std::string tail = " 1.2.3.4 5.6.7.8 1 2\r\n";
    const std::vector<std::pair<std::string, Error>> table = {
        {"SSH-2.0-OpenSSH_9.2\r\n", Error::NotProxy},
        {"GET / HTTP/1.1\r\n", Error::NotProxy},
        {"PROXZ TCP4", Error::NotProxy},
        {"proxy TCP4" + tail, Error::NotProxy},
        {"PROXY" + tail, Error::V1Protocol},
        {"PROXY\t" + tail, Error::NotProxy},
        {"PROXY UNKNOWN " + std::string(92, 'x') + "\r\n", Error::V1TooLong},  // 108 bytes
        {"PROXY TCP4 " + std::string(96, '1'), Error::V1TooLong},              // no CRLF
        {"PROXY TCP4 1.2.3.4 5.6.7.8 1 2\n", Error::V1LineEnd},
        {"PROXY TCP4 1.2.3.4 5.6.7.8 1 2\rx", Error::V1LineEnd},
        {"PROXY UNKNOWN\n", Error::V1LineEnd},
        {"PROXY TCP5" + tail, Error::V1Protocol},
        {"PROXY tcp4" + tail, Error::V1Protocol},
        {"PROXY \r\n", Error::V1Protocol},
        {"PROXY TCP4\r\n", Error::V1Syntax},
        {"PROXY TCP4  1.2.3.4 5.6.7.8 1 2\r\n", Error::V1Syntax},
        {"PROXY TCP4 1.2.3.4 5.6.7.8 1\r\n", Error::V1Syntax},
        {"PROXY TCP4 1.2.3.4 5.6.7.8 1 2 \r\n", Error::V1Syntax},
        {"PROXY TCP4 1.2.3.4 5.6.7.8 1 2 3\r\n", Error::V1Syntax},
        {"PROXY TCP4 256.2.3.4 5.6.7.8 1 2\r\n", Error::V1Address},
        {"PROXY TCP4 01.2.3.4 5.6.7.8 1 2\r\n", Error::V1Address},
        {"PROXY TCP4 1.2.3 5.6.7.8 1 2\r\n", Error::V1Address},
        {"PROXY TCP4 1.2.3.4.5 5.6.7.8 1 2\r\n", Error::V1Address},
        {"PROXY TCP4 1.2.3.4 5.6.7.x 1 2\r\n", Error::V1Address},
        {"PROXY TCP4 2001:db8::1 5.6.7.8 1 2\r\n", Error::V1Address},
        {"PROXY TCP6 1.2.3.4 ::1 1 2\r\n", Error::V1Address},
        {"PROXY TCP6 ::1::2 ::1 1 2\r\n", Error::V1Address},
        {"PROXY TCP4 1.2.3.4 5.6.7.8 65536 2\r\n", Error::V1Port},
        {"PROXY TCP4 1.2.3.4 5.6.7.8 01 2\r\n", Error::V1Port},
        {"PROXY TCP4 1.2.3.4 5.6.7.8 1 -2\r\n", Error::V1Port},
        {"PROXY TCP4 1.2.3.4 5.6.7.8 1 999999\r\n", Error::V1Port},
        {std::string("\r\n\r\n\0\r\nQUIZ", 11), Error::NotProxy},
        {V2(0x11, 0x11, kV4Addresses), Error::V2Version},
        {V2(0x31, 0x11, kV4Addresses), Error::V2Version},
        {V2(0x22, 0x11, kV4Addresses), Error::V2Command},
        {V2(0x2F, 0x00, ""), Error::V2Command},
        {V2(0x21, 0x41, kV4Addresses), Error::V2Family},
        {V2(0x21, 0x13, kV4Addresses), Error::V2Family},
        {V2(0x21, 0x11, kV4Addresses.substr(0, 11)), Error::V2AddressLength},
        {V2(0x21, 0x21, kV4Addresses + kTlvs), Error::V2AddressLength},
        {V2(0x21, 0x11, kV4Addresses + std::string(4096 - 16 - 12 + 1, '\0')), Error::V2TooLong},
    };
    for (const auto& [header, error] : table) {
        SCOPED_TRACE(header);
        const auto r = Parse(header);
        EXPECT_EQ(r.state, State::Invalid);
        EXPECT_EQ(r.error, error) << ProxyHeader::Describe(r.error);
    }
    // Refused as soon as the first bytes show it, without waiting for more.
    EXPECT_EQ(Parse("S").state, State::Invalid);
    EXPECT_EQ(Parse("PROXY\t").state, State::Invalid);
    EXPECT_EQ(Parse(V2(0x21, 0x11, kV4Addresses).substr(0, 14).replace(13, 1, "\x51")).state,
              State::Invalid);
    const std::string huge = kSignature + "\x21\x11\xFF\xFF";
    EXPECT_EQ(Parse(huge).error, Error::V2TooLong) << "before any of its body";
}

sockaddr_storage Address(const char* text) {
    sockaddr_storage storage{};
    auto& v4 = reinterpret_cast<sockaddr_in&>(storage);
    auto& v6 = reinterpret_cast<sockaddr_in6&>(storage);
    if (::inet_pton(AF_INET, text, &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
    } else if (::inet_pton(AF_INET6, text, &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
    }
    return storage;
}

TEST(ZavdProxySource, NetworksContainTheirAddressesOnly) {
    const std::vector<std::tuple<const char*, const char*, bool>> table = {
        {"127.0.0.1", "127.0.0.1", true},
        {"127.0.0.1", "127.0.0.2", false},
        {"10.0.0.0/8", "10.255.1.2", true},
        {"10.0.0.0/8", "11.0.0.1", false},
        {"172.16.0.0/12", "172.31.255.255", true},
        {"172.16.0.0/12", "172.32.0.0", false},
        {"0.0.0.0/0", "203.0.113.7", true},
        {"0.0.0.0/0", "::1", false},
        {"10.0.0.0/8", "::ffff:10.1.2.3", true},
        {"2001:db8::/32", "2001:db8:1::5", true},
        {"2001:db8::/32", "2001:db9::5", false},
        {"2001:db8::/33", "2001:db8:8000::1", false},
        {"::1", "::1", true},
        {"::1", "127.0.0.1", false},
        {"::/0", "10.0.0.1", false},
    };
    for (const auto& [network, address, inside] : table) {
        ZavdProxySource source;
        ASSERT_TRUE(source.Parse(network)) << network;
        EXPECT_EQ(source.Contains(Address(address)), inside) << network << " " << address;
    }
    for (const char* bad : {"", "host", "10.0.0.0/33", "::/129", "10.0.0.0/", "10.0.0.0/-1",
                            "10.0.0.0/8/8", "10.0.0/8", "1.2.3.4 "}) {
        ZavdProxySource source;
        EXPECT_FALSE(source.Parse(bad)) << bad;
    }
}

}  // namespace
