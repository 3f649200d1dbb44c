#include "win32/LocalSocket.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>

#include "win32/ErrnoFailure.h"

UniqueFd ConnectLocalSocket(const std::string& path) {
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) {
        SetLastError(ENAMETOOLONG);
        return {};
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.Valid() ||
        ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        FailWithErrno();
        return {};
    }
    return fd;
}

void ShutDownSocket(int fd, SocketDirection direction) {
    ::shutdown(fd, direction == SocketDirection::Reading ? SHUT_RD : SHUT_WR);
}
