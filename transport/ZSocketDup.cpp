#include "transport/ZSocketDup.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "infra/ZTraceScope.h"
#include "transport/HandOffIo.h"
#include "transport/ZPipe.h"

namespace {

int SocketOption(int fd, int option) {
    int value = -1;
    socklen_t length = sizeof value;
    return ::getsockopt(fd, SOL_SOCKET, option, &value, &length) == 0 ? value : -1;
}

// The socket the record describes: the descriptor that came with it, when it really is
// a socket of the record's family, type and protocol.
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

}  // namespace

SOCKET ZSocketDup::GetSocket(std::string suffix) {
    ZTraceScope trace;
    trace.Trace("ZSocketDup::GetSocket( ", suffix, " )");
    const DWORD pid = GetCurrentProcessId();
    ZPipe pipe;
    if (!pipe.Connect(suffix)) {
        Sleep(1000);
        if (!pipe.Connect(suffix)) {
            trace.Trace("pipe.Connect( ", suffix, " ):err");
            return INVALID_SOCKET;
        }
    }
    trace.Trace("pid = ", pid);
    const char message[4] = {static_cast<char>(pid), static_cast<char>(pid >> 8),
                             static_cast<char>(pid >> 16), static_cast<char>(pid >> 24)};
    if (!pipe.Write(std::string(message, 4))) {
        trace.Trace("pipe.Write( ", suffix, " ):err");
        return INVALID_SOCKET;
    }
    std::string reply;
    if (!pipe.Read(reply)) {
        trace.Trace("pipe.Read( ", suffix, " ):err");
        return INVALID_SOCKET;
    }
    pipe.Write(".");
    pipe.Close();
    // A short record is refused: the service must send all of it.
    WSAPROTOCOL_INFOA record{};
    SOCKET socket = INVALID_SOCKET;
    if (reply.size() >= sizeof record) {
        std::memcpy(&record, reply.data(), sizeof record);
        socket = SocketFromRecord(record, pipe.TakePassed());
    } else {
        SetLastError(EMSGSIZE);
    }
    if (socket == INVALID_SOCKET) {
        trace.Trace("WSASocket( ):err");
        return INVALID_SOCKET;
    }
    return socket;
}
