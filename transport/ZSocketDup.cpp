#include "transport/ZSocketDup.h"

#include <cerrno>
#include <cstring>

#include "infra/ZTraceScope.h"
#include "transport/HandOffIo.h"
#include "transport/ZPipe.h"
#include "win32/PassedSocket.h"

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
