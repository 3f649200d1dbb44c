// A plain TCP client of a server on the loopback address, and what it reads back.
#pragma once

#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "base/UniqueFd.h"

namespace test {

// A connection to port on 127.0.0.1 (or ::1); *result is connect()'s result. A refused
// connection still gives a socket, which reads as closed.
inline UniqueFd ConnectLoopback(int port, bool v6 = false, int* result = nullptr) {
    UniqueFd fd(::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int connected = -1;
    if (v6) {
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(static_cast<std::uint16_t>(port));
        a.sin6_addr = in6addr_loopback;
        connected = ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    } else {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected = ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    if (result != nullptr) {
        *result = connected;
    }
    return fd;
}

// A line from the peer, or what arrived before the connection closed or the time ran out.
inline std::string ReadLine(int fd, int seconds = 30) {
    std::string line;
    pollfd p{fd, POLLIN, 0};
    while (::poll(&p, 1, seconds * 1000) == 1) {
        char c = 0;
        if (::read(fd, &c, 1) != 1 || c == '\n') {
            break;
        }
        line.push_back(c);
    }
    return line;
}

// How many descriptors process pid has open.
inline std::size_t OpenDescriptors(pid_t pid) {
    std::size_t n = 0;
    DIR* dir = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    while (dir != nullptr) {
        const dirent* entry = ::readdir(dir);
        if (entry == nullptr) {
            break;
        }
        if (entry->d_name[0] != '.') {
            ++n;
        }
    }
    if (dir != nullptr) {
        ::closedir(dir);
    }
    return n;
}

}  // namespace test
