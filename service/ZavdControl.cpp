#include "service/ZavdControl.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "service/ErrorText.h"

namespace {

bool Address(const std::string& path, sockaddr_un& address) {
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        return false;
    }
    path.copy(address.sun_path, path.size());
    return true;
}

// Whether something accepts connections at address: a refused connection means a socket
// that nobody listens on any more.
bool Live(const sockaddr_un& address) {
    UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    return probe.Valid() && (::connect(probe.Get(), reinterpret_cast<const sockaddr*>(&address),
                                       sizeof address) == 0 ||
                             errno == EAGAIN || errno == EINPROGRESS);
}

}  // namespace

ZavdControl::ZavdControl(std::function<std::string(const std::string&)> answer,
                         std::function<void(const std::string&)> log)
    : m_answer(std::move(answer)), m_log(std::move(log)) {}

ZavdControl::~ZavdControl() {
    Close();
}

bool ZavdControl::Open(const std::string& path, std::string& error) {
    sockaddr_un address{};
    if (!Address(path, address)) {
        error = "the control socket's path " + path + " is too long";
        return false;
    }
    const std::string directory = path.substr(0, path.rfind('/'));
    if (!directory.empty() && ::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "cannot make " + directory + ": " + ErrorText(errno);
        return false;
    }
    UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!listener.Valid()) {
        error = "cannot make the control socket: " + ErrorText(errno);
        return false;
    }
    const auto* name = reinterpret_cast<const sockaddr*>(&address);
    bool bound = ::bind(listener.Get(), name, sizeof address) == 0;
    if (!bound && errno == EADDRINUSE) {
        struct stat existing {};
        if (Live(address)) {
            error = "another zavd answers on " + path;
            return false;
        }
        // Left by a zavd that is gone: replaced, but only a socket.
        if (::lstat(path.c_str(), &existing) != 0 || !S_ISSOCK(existing.st_mode) ||
            ::unlink(path.c_str()) != 0) {
            error = path + " is in the way of the control socket";
            return false;
        }
        bound = ::bind(listener.Get(), name, sizeof address) == 0;
    }
    struct stat made {};
    if (!bound || ::chmod(path.c_str(), 0600) != 0 ||
        ::listen(listener.Get(), static_cast<int>(kMaxConnections)) != 0 ||
        ::stat(path.c_str(), &made) != 0) {
        error = "cannot listen on " + path + ": " + ErrorText(errno);
        return false;
    }
    m_listener = std::move(listener);
    m_path = path;
    m_device = made.st_dev;
    m_inode = made.st_ino;
    return true;
}

void ZavdControl::Close() {
    if (!m_listener.Valid()) {
        return;
    }
    m_listener.Reset();
    m_connections.clear();
    struct stat now {};
    if (::lstat(m_path.c_str(), &now) == 0 && now.st_dev == m_device && now.st_ino == m_inode) {
        ::unlink(m_path.c_str());
    }
}

void ZavdControl::Watch(std::vector<pollfd>& fds, int& timeout) const {
    if (!m_listener.Valid()) {
        return;
    }
    fds.push_back(pollfd{m_listener.Get(), POLLIN, 0});
    const auto now = std::chrono::steady_clock::now();
    for (const Connection& c : m_connections) {
        fds.push_back(pollfd{c.fd.Get(), static_cast<short>(c.answered ? POLLOUT : POLLIN), 0});
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(c.deadline - now).count();
        const int wait = static_cast<int>(std::max<std::int64_t>(left, 0));
        timeout = timeout < 0 ? wait : std::min(timeout, wait);
    }
}

void ZavdControl::Handle(const std::vector<pollfd>& fds, std::size_t first) {
    if (!m_listener.Valid() || first >= fds.size()) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    std::vector<Connection> open;
    for (std::size_t i = 0; i < m_connections.size(); ++i) {
        Connection& c = m_connections[i];
        const short events = fds[first + 1 + i].revents;
        if (events != 0 && !Serve(c, events)) {
            continue;
        }
        if (c.deadline <= now) {
            m_log("control: a request not completed within " +
                  std::to_string(kConnectionTimeoutMs / 1000) + " s; closed");
            continue;
        }
        open.push_back(std::move(c));
    }
    m_connections = std::move(open);
    if ((fds[first].revents & POLLIN) != 0) {
        Accept();
    }
}

void ZavdControl::Accept() {
    for (;;) {
        UniqueFd fd(::accept4(m_listener.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!fd.Valid()) {
            return;
        }
        ucred peer{};
        socklen_t length = sizeof peer;
        if (::getsockopt(fd.Get(), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || peer.uid != 0) {
            m_log("control: refused a connection from uid " + std::to_string(peer.uid) + " (pid " +
                  std::to_string(peer.pid) + "): only root may ask");
            continue;
        }
        if (m_connections.size() >= kMaxConnections) {
            m_log("control: refused a connection, " + std::to_string(m_connections.size()) +
                  " being served");
            continue;
        }
        Connection c;
        c.fd = std::move(fd);
        c.deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kConnectionTimeoutMs);
        m_connections.push_back(std::move(c));
    }
}

bool ZavdControl::Serve(Connection& c, short events) {
    if (!c.answered) {
        char buffer[kMaxRequest];
        const ssize_t n = ::recv(c.fd.Get(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            return true;
        }
        if (n <= 0) {
            return false;  // gone before its request was complete
        }
        c.request.append(buffer, static_cast<std::size_t>(n));
        const auto end = c.request.find('\n');
        if (end == std::string::npos) {
            if (c.request.size() >= kMaxRequest) {
                m_log("control: a request longer than " + std::to_string(kMaxRequest) +
                      " bytes; closed");
                return false;
            }
            return true;
        }
        c.reply = m_answer(c.request.substr(0, end));
        c.answered = true;
        events = POLLOUT;  // the socket is most likely writable: try at once
    }
    if ((events & (POLLOUT | POLLERR | POLLHUP)) == 0) {
        return true;
    }
    while (c.sent < c.reply.size()) {
        const ssize_t n = ::send(c.fd.Get(), c.reply.data() + c.sent, c.reply.size() - c.sent,
                                 MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            return true;
        }
        if (n <= 0) {
            return false;
        }
        c.sent += static_cast<std::size_t>(n);
    }
    return false;  // all of it sent: closed
}
