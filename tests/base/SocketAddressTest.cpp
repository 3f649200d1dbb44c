// The text of socket addresses, as every line of zavd, the session and the monitor shows
// them.
#include "base/SocketAddress.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "base/UniqueFd.h"

namespace {

sockaddr_storage V6(const char* text, std::uint16_t port) {
    sockaddr_storage storage{};
    auto& a = reinterpret_cast<sockaddr_in6&>(storage);
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    ::inet_pton(AF_INET6, text, &a.sin6_addr);
    return storage;
}

TEST(SocketAddress, IPv4IPv6AndMappedIPv4) {
    const std::uint8_t v4[4] = {203, 0, 113, 7};
    EXPECT_EQ(SocketAddress::FromBytes(4, v4, 41234).Text(), "203.0.113.7:41234");
    const SocketAddress v6(V6("2001:db8::1", 22));
    EXPECT_EQ(v6.Host(), "2001:db8::1");
    EXPECT_EQ(v6.Text(), "[2001:db8::1]:22");
    // A dual-stack listener's IPv4 peer shows as IPv4.
    EXPECT_EQ(SocketAddress(V6("::ffff:10.0.0.7", 2222)).Text(), "10.0.0.7:2222");
}

TEST(SocketAddress, WhatCannotBeReadIsNotValid) {
    const UniqueFd unconnected(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    EXPECT_FALSE(SocketAddress::Peer(unconnected.Get()).Valid());
    EXPECT_FALSE(SocketAddress::Peer(-1).Valid());
    EXPECT_EQ(SocketAddress::Peer(-1).Port(), 0U);
    EXPECT_FALSE(SocketAddress::FromBytes(0, nullptr, 1).Valid());
}

TEST(SocketAddress, JoinedAndSpoken) {
    EXPECT_EQ(SocketAddress::Join("127.0.0.1", "2222"), "127.0.0.1:2222");
    EXPECT_EQ(SocketAddress::Join("::1", "2222"), "[::1]:2222");
    EXPECT_EQ(SocketAddress::Spoken("10.0.0.7", "4711"), "10.0.0.7 port 4711");
}

}  // namespace
