#include "transport/HandOffIo.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>

namespace handoff {

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool WriteWithDescriptor(int fd, std::string_view data, int descriptor) {
    if (data.empty()) {
        errno = EINVAL;
        return false;
    }
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    iovec io{const_cast<char*>(data.data()), data.size()};
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &descriptor, sizeof(int));
    ssize_t n = 0;
    do {
        n = ::sendmsg(fd, &message, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        return false;
    }
    return WriteAll(fd, data.substr(static_cast<std::size_t>(n)));
}

bool ReadAll(int fd, char* buffer, std::size_t size, UniqueFd* passed) {
    std::size_t done = 0;
    while (done < size) {
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)] = {};
        iovec io{buffer + done, size - done};
        msghdr message{};
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(fd, &message, MSG_CMSG_CLOEXEC);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        // Every descriptor that arrives is taken (and closed unless it is the one kept),
        // so nothing sent along leaks into this process.
        for (cmsghdr* h = CMSG_FIRSTHDR(&message); h != nullptr; h = CMSG_NXTHDR(&message, h)) {
            if (h->cmsg_level != SOL_SOCKET || h->cmsg_type != SCM_RIGHTS) {
                continue;
            }
            const std::size_t count = (h->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (std::size_t i = 0; i < count; ++i) {
                int received = -1;
                std::memcpy(&received, CMSG_DATA(h) + i * sizeof(int), sizeof(int));
                UniqueFd owned(received);
                if (passed != nullptr) {
                    *passed = std::move(owned);
                }
            }
        }
        if (n == 0) {
            errno = EPIPE;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

pid_t PeerProcess(int fd) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
        return -1;
    }
    return credentials.pid;
}

void SetTimeouts(int fd, int milliseconds) {
    const timeval limit{milliseconds / 1000, static_cast<suseconds_t>(milliseconds % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

bool ValidSuffix(std::string_view directory, std::string_view suffix) {
    const std::size_t longest = sizeof(sockaddr_un{}.sun_path) - 1;
    return !suffix.empty() && suffix.find('/') == std::string_view::npos &&
           suffix.find('\0') == std::string_view::npos &&
           directory.size() + 1 + std::strlen(kRequestPrefix) + suffix.size() <= longest;
}

}  // namespace handoff
