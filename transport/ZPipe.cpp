#include "transport/ZPipe.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/DescriptorPassing.h"
#include "infra/ZTraceScope.h"
#include "platform/ZWinsta.h"
#include "transport/HandOffIo.h"
#include "win32/ErrnoFailure.h"
#include "win32/LocalSocket.h"

namespace {

// Connects to the socket name in the hand-off directory, keeping one direction. The
// peer must be the service named on the command line.
UniqueFd Open(const std::string& name, SocketDirection closedDirection) {
    const char* directory = std::getenv(handoff::kDirectoryVariable);  // NOLINT
    const std::string suffix = name.substr(std::strlen(handoff::kRequestPrefix));
    if (directory == nullptr || !handoff::ValidSuffix(directory, suffix)) {
        SetLastError(ENOENT);
        return {};
    }
    UniqueFd fd = ConnectLocalSocket(std::string(directory) + "/" + name);
    if (!fd.Valid()) {
        return {};
    }
    const std::string service = ZWinsta::GetCmdLineParam("-ppid:");
    char* end = nullptr;
    const long expected = std::strtol(service.c_str(), &end, 10);
    if (service.empty() || *end != '\0' || expected <= 0 ||
        handoff::PeerProcess(fd.Get()) != expected) {
        SetLastError(EACCES);  // somebody else's socket
        return {};
    }
    ShutDownSocket(fd.Get(), closedDirection);
    handoff::SetTimeouts(fd.Get(), ZPipe::kTimeoutMs);
    return fd;
}

}  // namespace

ZPipe::ZPipe() {
    ZTraceScope trace;
    trace.Trace("ZPipe::ZPipe( )");
}

ZPipe::~ZPipe() {
    ZTraceScope trace;
    trace.Trace("ZPipe::~ZPipe( )");
    Close();
}

bool ZPipe::Connect(std::string suffix) {
    ZTraceScope trace;
    trace.Trace("ZPipe::Connect( ", suffix, " )");
    m_hWritePipe = Open(handoff::kRequestPrefix + suffix, SocketDirection::Reading);
    if (!m_hWritePipe.Valid()) {
        trace.Trace("ZPipe::Connect( ) : err m_hWritePipe");
        return false;
    }
    m_hReadPipe = Open(handoff::kReplyPrefix + suffix, SocketDirection::Writing);
    if (!m_hReadPipe.Valid()) {
        trace.Trace("ZPipe::Connect( ) : err m_hReadPipe");
        return false;
    }
    return true;
}

bool ZPipe::Write(std::string text) {
    ZTraceScope trace;
    trace.Trace("ZPipe::Write( ", text.size(), " )");
    if (text.empty()) {
        trace.Trace("len == 0");
        return true;
    }
    const auto length = static_cast<std::uint32_t>(text.size());
    const char header[4] = {static_cast<char>(length), static_cast<char>(length >> 8),
                            static_cast<char>(length >> 16), static_cast<char>(length >> 24)};
    if (!handoff::WriteAll(m_hWritePipe.Get(), std::string_view(header, 4))) {
        FailWithErrno();
        trace.Trace("WriteFile( ) : err ", GetLastError());
        return false;
    }
    if (!handoff::WriteAll(m_hWritePipe.Get(), text)) {
        FailWithErrno();
        trace.Trace("WriteFile1( ) : err ", GetLastError());
        return false;
    }
    trace.Trace("length = ", text.size());
    return true;
}

bool ZPipe::Read(std::string& text) {
    ZTraceScope trace;
    trace.Trace("ZPipe::Read( )");
    unsigned char header[4] = {};
    if (!DescriptorPassing::Receive(m_hReadPipe.Get(), reinterpret_cast<char*>(header), 4,
                                    &m_passed)) {
        FailWithErrno();
        trace.Trace("ReadFile( ) : err ", GetLastError());
        return false;
    }
    const auto length = static_cast<std::int32_t>(header[0] | header[1] << 8 | header[2] << 16 |
                                                  static_cast<std::uint32_t>(header[3]) << 24);
    trace.Trace("ZPipe::Read iLen = ", length, " dwRead = ", 4);
    // A length the exchange never sends is refused before anything is allocated.
    if (length < 0 || static_cast<std::size_t>(length) > handoff::kMaxPayload) {
        SetLastError(EMSGSIZE);
        trace.Trace("ReadFile2( ) : err ", GetLastError());
        return false;
    }
    std::vector<char> buffer(static_cast<std::size_t>(length), '\0');
    // The whole payload, however the service split its writes.
    if (!DescriptorPassing::Receive(m_hReadPipe.Get(), buffer.data(), buffer.size(), &m_passed)) {
        FailWithErrno();
        trace.Trace("ReadFile2( ) : err ", GetLastError());
        return false;
    }
    text.assign(buffer.begin(), buffer.end());
    return true;
}

void ZPipe::Close() {
    ZTraceScope trace;
    trace.Trace("ZPipe::Close( );");
    m_hReadPipe.Reset();
    m_hWritePipe.Reset();
}
