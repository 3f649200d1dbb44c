#include "win32/PassedSocket.h"

#include <sys/socket.h>

#include <cerrno>

namespace {

int SocketOption(int fd, int option) {
    int value = -1;
    socklen_t length = sizeof value;
    return ::getsockopt(fd, SOL_SOCKET, option, &value, &length) == 0 ? value : -1;
}

}  // namespace

SOCKET SocketFromRecord(const WSAPROTOCOL_INFOA& record, UniqueFd passed) {
    if (!passed.Valid()) {
        SetLastError(EBADF);
        return INVALID_SOCKET;
    }
    const int fd = passed.Get();
    if (SocketOption(fd, SO_DOMAIN) != record.iAddressFamily ||
        SocketOption(fd, SO_TYPE) != record.iSocketType ||
        SocketOption(fd, SO_PROTOCOL) != record.iProtocol) {
        SetLastError(EPROTOTYPE);
        return INVALID_SOCKET;
    }
    return passed.Release();
}
