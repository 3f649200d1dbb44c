#include "service/ZavdHandOff.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/DescriptorPassing.h"
#include "service/ErrorText.h"
#include "transport/HandOffIo.h"
#include "win32/Win32.h"

namespace {

using Clock = std::chrono::steady_clock;

int Remaining(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

UniqueFd ListenAt(const std::string& path, std::string& error) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        error = "socket path too long: " + path;
        return {};
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    // A socket file left by an earlier exchange for the same peer is replaced.
    ::unlink(path.c_str());
    if (!fd.Valid() ||
        ::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd.Get(), 4) != 0) {
        error = "cannot listen on " + path + ": " + ErrorText(errno);
        return {};
    }
    return fd;
}

// The next connection from the session itself; others are closed as they come.
UniqueFd AcceptFrom(int listener, pid_t session, Clock::time_point deadline, std::string& error,
                    const char* which) {
    for (;;) {
        pollfd p{listener, POLLIN, 0};
        const int ready = ::poll(&p, 1, Remaining(deadline));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            error = std::string("the session did not open the ") + which + " pipe in time";
            return {};
        }
        UniqueFd fd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
        if (!fd.Valid()) {
            continue;
        }
        if (handoff::PeerProcess(fd.Get()) == session) {
            return fd;
        }
    }
}

bool ReadMessage(int fd, std::string& payload, std::string& error, const char* what) {
    unsigned char header[4] = {};
    if (!DescriptorPassing::Receive(fd, reinterpret_cast<char*>(header), 4, nullptr)) {
        error = std::string("reading ") + what + ": " + ErrorText(errno);
        return false;
    }
    const std::uint32_t length =
        header[0] | header[1] << 8 | header[2] << 16 | static_cast<std::uint32_t>(header[3]) << 24;
    if (length > 16) {
        error = std::string("reading ") + what + ": length " + std::to_string(length);
        return false;
    }
    payload.assign(length, '\0');
    if (!DescriptorPassing::Receive(fd, payload.data(), length, nullptr)) {
        error = std::string("reading ") + what + ": " + ErrorText(errno);
        return false;
    }
    return true;
}

int SocketOption(int fd, int option) {
    int value = 0;
    socklen_t length = sizeof value;
    ::getsockopt(fd, SOL_SOCKET, option, &value, &length);
    return value;
}

}  // namespace

ZavdHandOff::~ZavdHandOff() {
    Close();
}

bool ZavdHandOff::Listen(const std::string& directory, const std::string& suffix,
                         std::string& error) {
    if (!handoff::ValidSuffix(directory, suffix)) {
        error = "cannot name the pipes for " + suffix;
        return false;
    }
    m_requestPath = directory + "/" + handoff::kRequestPrefix + suffix;
    m_replyPath = directory + "/" + handoff::kReplyPrefix + suffix;
    m_request = ListenAt(m_requestPath, error);
    if (!m_request.Valid()) {
        m_requestPath.clear();
        return false;
    }
    m_reply = ListenAt(m_replyPath, error);
    if (!m_reply.Valid()) {
        m_replyPath.clear();
        return false;
    }
    return true;
}

bool ZavdHandOff::Run(pid_t session, int client, std::chrono::milliseconds timeout,
                      std::string& error) {
    const Clock::time_point deadline = Clock::now() + timeout;
    // The session opens the request pipe first, then the reply pipe.
    UniqueFd request = AcceptFrom(m_request.Get(), session, deadline, error, "request");
    if (!request.Valid()) {
        return false;
    }
    UniqueFd reply = AcceptFrom(m_reply.Get(), session, deadline, error, "reply");
    if (!reply.Valid()) {
        return false;
    }
    const int wait = std::max(Remaining(deadline), 1);
    handoff::SetTimeouts(request.Get(), wait);
    handoff::SetTimeouts(reply.Get(), wait);

    std::string payload;
    if (!ReadMessage(request.Get(), payload, error, "the process id")) {
        return false;
    }
    std::uint32_t pid = 0;
    if (payload.size() != 4 ||
        (std::memcpy(&pid, payload.data(), 4), static_cast<pid_t>(pid) != session)) {
        error = "the session sent a wrong process id";
        return false;
    }

    WSAPROTOCOL_INFOA record{};
    record.iVersion = 2;
    record.iAddressFamily = SocketOption(client, SO_DOMAIN);
    record.iSocketType = SocketOption(client, SO_TYPE);
    record.iProtocol = SocketOption(client, SO_PROTOCOL);
    record.iMaxSockAddr = sizeof(sockaddr_storage);
    record.iMinSockAddr = record.iAddressFamily == AF_INET6 ? 28 : 16;
    record.iNetworkByteOrder = 0;  // big-endian, as the platform's records say
    std::snprintf(record.szProtocol, sizeof record.szProtocol, "%s",
                  record.iAddressFamily == AF_INET6 ? "TCP/IPv6" : "TCP/IP");
    std::string message(4 + sizeof record, '\0');
    const std::uint32_t length = sizeof record;
    message[0] = static_cast<char>(length);
    message[1] = static_cast<char>(length >> 8);
    std::memcpy(message.data() + 4, &record, sizeof record);
    if (!DescriptorPassing::Send(reply.Get(), message, client)) {
        error = std::string("sending the socket: ") + ErrorText(errno);
        return false;
    }
    if (!ReadMessage(request.Get(), payload, error, "the acknowledgement")) {
        return false;
    }
    if (payload != ".") {
        error = "the session sent a wrong acknowledgement";
        return false;
    }
    return true;
}

void ZavdHandOff::Close() {
    m_request.Reset();
    m_reply.Reset();
    if (!m_requestPath.empty()) {
        ::unlink(m_requestPath.c_str());
        m_requestPath.clear();
    }
    if (!m_replyPath.empty()) {
        ::unlink(m_replyPath.c_str());
        m_replyPath.clear();
    }
}
