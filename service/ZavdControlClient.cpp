#include "service/ZavdControlClient.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "base/UniqueFd.h"
#include "service/ErrorText.h"

bool ZavdControlClient::Ask(const std::string& path, const std::string& request, std::string& reply,
                            std::string& error) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        error = "the path is too long";
        return false;
    }
    path.copy(address.sun_path, path.size());
    const std::string closed = "it closed the connection without an answer (only root may ask)";
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    timeval limit{kTimeoutMs / 1000, 0};
    if (!fd.Valid() || ::setsockopt(fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0 ||
        ::setsockopt(fd.Get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0 ||
        ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = ErrorText(errno);
        return false;
    }
    if (::send(fd.Get(), request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size())) {
        // Refused before the request was taken.
        error = errno == EPIPE || errno == ECONNRESET ? closed : ErrorText(errno);
        return false;
    }
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(fd.Get(), buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        // Closed with the request unread: a reset rather than an end of stream.
        if (n == 0 || (n < 0 && errno == ECONNRESET && reply.empty())) {
            break;
        }
        if (n < 0) {
            error = errno == EAGAIN ? "no answer within " + std::to_string(kTimeoutMs / 1000) + " s"
                                    : ErrorText(errno);
            return false;
        }
        reply.append(buffer, static_cast<std::size_t>(n));
    }
    if (reply.empty()) {
        error = closed;
        return false;
    }
    return true;
}

int ZavdControlClient::List(const std::string& path) {
    std::string reply;
    std::string error;
    if (!Ask(path, "list\n", reply, error)) {
        std::fprintf(stderr, "zavd: cannot reach the running zavd at %s: %s\n", path.c_str(),
                     error.c_str());
        return 1;
    }
    std::fputs(reply.c_str(), stdout);
    return 0;
}

int ZavdControlClient::End(const std::string& path, pid_t pid) {
    std::string reply;
    std::string error;
    if (!Ask(path, "end " + std::to_string(pid) + "\n", reply, error)) {
        std::fprintf(stderr, "zavd: cannot reach the running zavd at %s: %s\n", path.c_str(),
                     error.c_str());
        return 1;
    }
    if (reply == "ended\n") {
        std::printf("zavd: session %d ended\n", static_cast<int>(pid));
        return 0;
    }
    if (reply == "no session\n") {
        std::fprintf(stderr, "zavd: no session %d\n", static_cast<int>(pid));
        return 1;
    }
    std::fprintf(stderr, "zavd: session %d not ended: %s", static_cast<int>(pid), reply.c_str());
    return 1;
}
