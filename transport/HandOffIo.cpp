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
