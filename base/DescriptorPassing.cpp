#include "base/DescriptorPassing.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

bool DescriptorPassing::Send(int socket, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::send(socket, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool DescriptorPassing::Send(int socket, std::string_view data, int descriptor) {
    return Send(socket, data, std::span<const int>(&descriptor, 1));
}

bool DescriptorPassing::Send(int socket, std::string_view data, std::span<const int> descriptors) {
    if (data.empty() || descriptors.empty() || descriptors.size() > kMaxDescriptors) {
        errno = EINVAL;
        return false;
    }
    alignas(cmsghdr) char control[CMSG_SPACE(kMaxDescriptors * sizeof(int))] = {};
    iovec io{const_cast<char*>(data.data()), data.size()};
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = CMSG_SPACE(descriptors.size() * sizeof(int));
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(descriptors.size() * sizeof(int));
    std::memcpy(CMSG_DATA(header), descriptors.data(), descriptors.size() * sizeof(int));
    ssize_t n = 0;
    do {
        n = ::sendmsg(socket, &message, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        return false;
    }
    return Send(socket, data.substr(static_cast<std::size_t>(n)));
}

bool DescriptorPassing::Receive(int socket, char* buffer, std::size_t size, UniqueFd* passed) {
    return passed != nullptr ? Receive(socket, buffer, size, std::span<UniqueFd>(passed, 1))
                             : Receive(socket, buffer, size, std::span<UniqueFd>());
}

bool DescriptorPassing::Receive(int socket, char* buffer, std::size_t size,
                                std::span<UniqueFd> passed) {
    // Places already filled stay as they are; arrivals go to the empty ones in order.
    std::size_t next = 0;
    std::size_t done = 0;
    while (done < size) {
        alignas(cmsghdr) char control[CMSG_SPACE(kMaxDescriptors * sizeof(int))] = {};
        iovec io{buffer + done, size - done};
        msghdr message{};
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        // Every descriptor that arrived is taken, so none leaks into this process.
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) {
                continue;
            }
            const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (std::size_t i = 0; i < count; ++i) {
                int received = -1;
                std::memcpy(&received, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
                UniqueFd owned(received);
                while (next < passed.size() && passed[next].Valid()) {
                    ++next;
                }
                if (next < passed.size()) {
                    passed[next++] = std::move(owned);
                }
            }
        }
        if ((message.msg_flags & MSG_CTRUNC) != 0) {
            errno = EBADMSG;  // more descriptors than fit: no peer of ours sends that
            return false;
        }
        if (n == 0) {
            errno = EPIPE;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}
