#include "transport/RelayLink.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "base/PollTimeout.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

Clock::time_point Deadline(milliseconds wait) {
    return wait.count() < 0 ? Clock::time_point::max() : Clock::now() + wait;
}

}  // namespace

RelayLink::RelayLink(UniqueFd socket) : m_socket(std::move(socket)) {
    const int flags = ::fcntl(m_socket.Get(), F_GETFL);
    if (flags >= 0) {
        ::fcntl(m_socket.Get(), F_SETFL, flags | O_NONBLOCK);
    }
}

bool RelayLink::Send(const std::string& frames, milliseconds timeout) {
    if (m_broken || !m_socket.Valid()) {
        return false;
    }
    const Clock::time_point deadline = Deadline(timeout);
    std::size_t sent = 0;
    while (sent < frames.size()) {
        const ssize_t n =
            ::send(m_socket.Get(), frames.data() + sent, frames.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            m_broken = true;
            return false;
        }
        // The peer's buffer is full: wait until it takes more, or until the time is up.
        const int left = PollTimeout(deadline);
        pollfd entry{m_socket.Get(), POLLOUT, 0};
        const int ready = left == 0 ? 0 : ::poll(&entry, 1, left);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            m_broken = true;
            return false;
        }
    }
    return true;
}

RelayLink::Status RelayLink::Read(milliseconds wait, const std::vector<SshServer::WakeSource>& wake,
                                  std::vector<bool>* fired, bool receive) {
    if (fired != nullptr) {
        fired->assign(wake.size(), false);
    }
    if (m_malformed) {
        return Status::Malformed;
    }
    if (m_ended && m_frames.empty()) {
        return Status::Gone;
    }
    // Queued frames are the caller's to take first: only the wake sources are looked at.
    const bool queued = receive && !m_frames.empty();
    const Clock::time_point deadline = queued ? Clock::now() : Deadline(wait);
    std::vector<pollfd> entries;
    entries.reserve(wake.size() + 1);
    for (const SshServer::WakeSource& source : wake) {
        // A negative descriptor is left out by poll, and keeps its place so fired matches.
        entries.push_back(pollfd{source.fd, static_cast<short>(source.room ? POLLOUT : POLLIN), 0});
    }
    entries.push_back(pollfd{queued || !receive ? -1 : m_socket.Get(), POLLIN, 0});
    for (;;) {
        for (pollfd& entry : entries) {
            entry.revents = 0;
        }
        const int ready = ::poll(entries.data(), entries.size(), PollTimeout(deadline));
        if (ready < 0 && errno != EINTR) {
            m_ended = true;
            break;
        }
        bool woken = false;
        for (std::size_t i = 0; ready > 0 && i < wake.size(); ++i) {
            const short revents = entries[i].revents;
            if (revents == 0 || (revents & POLLNVAL) != 0) {
                continue;
            }
            if ((revents & POLLIN) != 0 && wake[i].drain) {
                std::uint64_t count = 0;
                [[maybe_unused]] const ssize_t n = ::read(wake[i].fd, &count, sizeof count);
            }
            if (fired != nullptr) {
                (*fired)[i] = true;
            }
            woken = true;
        }
        if (ready > 0 && entries.back().revents != 0) {
            Receive();
        }
        if (m_malformed) {
            return Status::Malformed;
        }
        if (woken || (receive && !m_frames.empty())) {
            return Status::Ok;
        }
        if (m_ended && receive) {
            return Status::Gone;
        }
        if (PollTimeout(deadline) == 0) {
            return Status::Timeout;
        }
    }
    return m_frames.empty() ? Status::Gone : Status::Ok;
}

void RelayLink::Receive() {
    std::size_t taken = 0;
    while (taken < kReadLimit && !m_ended) {
        const std::size_t chunk = std::min<std::size_t>(RelayWire::kMaxData, kReadLimit - taken);
        const std::size_t old = m_pending.size();
        m_pending.resize(old + chunk);
        const ssize_t n = ::recv(m_socket.Get(), m_pending.data() + old, chunk, 0);
        m_pending.resize(old + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        if (n > 0) {
            taken += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        }
        m_ended = true;  // the peer's end of data, or a broken socket
    }
    std::string_view rest = m_pending;
    RelayFrame frame;
    RelayWire::Parsed parsed;
    while ((parsed = RelayWire::Parse(rest, frame)) == RelayWire::Parsed::Frame) {
        m_frames.push_back(std::move(frame));
    }
    if (parsed == RelayWire::Parsed::Malformed) {
        m_malformed = true;
    }
    m_pending.erase(0, m_pending.size() - rest.size());
}

bool RelayLink::Next(RelayFrame& frame) {
    if (m_frames.empty()) {
        return false;
    }
    frame = std::move(m_frames.front());
    m_frames.pop_front();
    return true;
}
