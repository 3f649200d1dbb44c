#include "service/ZavdSocketActivation.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "base/SocketAddress.h"
#include "service/ErrorText.h"

namespace {

// A decimal number of at most 9 digits, or -1.
long Number(const char* text) {
    const std::string s = text != nullptr ? text : "";
    if (s.empty() || s.size() > 9 || s.find_first_not_of("0123456789") != std::string::npos) {
        return -1;
    }
    return std::strtol(s.c_str(), nullptr, 10);
}

int SocketOption(int fd, int option) {
    int value = -1;
    socklen_t length = sizeof value;
    return ::getsockopt(fd, SOL_SOCKET, option, &value, &length) == 0 ? value : -1;
}

}  // namespace

bool ZavdSocketActivation::Take(std::vector<UniqueFd>& sockets, std::string& error) {
    // NOLINTBEGIN(concurrency-mt-unsafe): called once at start, before any thread.
    const char* pidText = std::getenv("LISTEN_PID");
    const char* fdsText = std::getenv("LISTEN_FDS");
    const long pid = Number(pidText);
    const long count = Number(fdsText);
    const bool ours = pidText != nullptr && pid == static_cast<long>(::getpid());
    const std::string fdsShown = fdsText != nullptr ? fdsText : "";
    ::unsetenv("LISTEN_PID");
    ::unsetenv("LISTEN_FDS");
    ::unsetenv("LISTEN_FDNAMES");
    // NOLINTEND(concurrency-mt-unsafe)
    if (!ours) {
        return true;  // absent, or meant for another process
    }
    if (count < 0) {
        error = "LISTEN_FDS=" + fdsShown + ": expected the number of passed sockets";
        return false;
    }
    for (int fd = kFirstFd; fd < kFirstFd + count; ++fd) {
        // Owned from here on: closed when it cannot be used.
        UniqueFd socket(fd);
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0 || ::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
            error = "passed descriptor " + std::to_string(fd) + ": " + ErrorText(errno);
            return false;
        }
        const int domain = SocketOption(fd, SO_DOMAIN);
        if ((domain != AF_INET && domain != AF_INET6) || SocketOption(fd, SO_TYPE) != SOCK_STREAM ||
            SocketOption(fd, SO_ACCEPTCONN) != 1) {
            error = "passed descriptor " + std::to_string(fd) +
                    " is not a listening TCP socket (ListenStream= with an address or port)";
            return false;
        }
        // Accepting after poll must not block when the client has already gone.
        ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        sockets.push_back(std::move(socket));
    }
    return true;
}

std::string ZavdSocketActivation::Address(int fd) {
    const SocketAddress address = SocketAddress::Local(fd);
    return address.Valid() ? address.Text() : "?";
}
