#include "console/ConsolePty.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <time.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "win32/ErrnoFailure.h"
#include "win32/PrivilegeBroker.h"
#include "win32/ProcessPriority.h"

namespace {

// The line discipline's buffer: a read that took this much (less the byte it keeps free)
// found the terminal full.
constexpr ssize_t kLineDisciplineBuffer = 4096;

std::uint64_t MonotonicMilliseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000U +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000000U;
}

// How long this thread has waited for a processor, in nanoseconds, from the kernel's
// per-thread schedstat ("cputime run_delay timeslices"); 0 where the kernel keeps none.
std::uint64_t RunDelay(int schedstat) {
    if (schedstat < 0) {
        return 0;
    }
    char text[96];
    const ssize_t n = ::pread(schedstat, text, sizeof text - 1, 0);
    if (n <= 0) {
        return 0;
    }
    text[n] = '\0';
    const char* field = std::strchr(text, ' ');
    return field == nullptr ? 0 : std::strtoull(field + 1, nullptr, 10);
}

}  // namespace

ConsolePty::~ConsolePty() {
    m_stopping = true;
    Kick();
    if (m_pump.joinable()) {
        m_pump.join();
    }
}

bool ConsolePty::Open() {
    // A session split for privileges runs on the terminal its privileged side made (the
    // only terminal that side ever gives the user; taken once); otherwise it is made here.
    if (!PrivilegeBroker::Current().TakeTerminal(m_master, m_slave, m_name)) {
        return false;
    }
    const int flags = ::fcntl(m_master.Get(), F_GETFL);
    ::fcntl(m_master.Get(), F_SETFL, flags | O_NONBLOCK);
    termios mode{};
    if (::tcgetattr(m_slave.Get(), &mode) == 0) {
        mode.c_iflag |= IUTF8;
        ::tcsetattr(m_slave.Get(), TCSANOW, &mode);
    }
    m_defaultMode = mode;
    m_pumpEvent.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!m_pumpEvent.Valid()) {
        return FailWithErrno();
    }
    return true;
}

void ConsolePty::Start(Sink& sink) {
    m_pump = std::thread(&ConsolePty::Pump, this, std::ref(sink));
}

void ConsolePty::Kick() {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(m_pumpEvent.Get(), &one, sizeof one);
}

void ConsolePty::Pump(Sink& sink) {
    // Named so that the background priority finds it (a flood's absorber yields first).
    ::pthread_setname_np(::pthread_self(), ProcessPriority::kYieldingThread);
    // Output read but not yet taken: the sink may hold part of a chunk back until the
    // session has captured what scrolled.
    // A pseudo-terminal gives at most its line discipline's buffer (4 KiB) per read: a
    // larger chunk would only cost every session memory it never uses.
    std::string chunk(16384, '\0');
    std::size_t heldFrom = 0;
    std::size_t heldTo = 0;
    bool hungUp = false;
    bool ended = false;
    unsigned readAfter = 0;   // the ResetModes count when the held chunk was read
    std::uint64_t dryAt = 0;  // when the pump began to wait for output (0: it did not)
    // This thread's wait for a processor since then: a pump that a busy machine keeps
    // from running is no pause of the program's.
    const UniqueFd schedstat(::open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC));
    std::uint64_t dryDelay = 0;
    // The last read took a whole line discipline's buffer: in a flood more is waiting,
    // and the next read needs no poll first (a poll of a terminal costs about a read).
    bool wholeBuffer = false;
    while (!m_stopping) {
        if (heldFrom < heldTo && readAfter != m_resets.load()) {
            heldFrom = heldTo;  // held from before a reset: not this console's any more
        }
        if (heldFrom < heldTo) {
            heldFrom +=
                sink.Output(std::string_view(chunk.data() + heldFrom, heldTo - heldFrom), 0);
        }
        const bool reading = heldFrom == heldTo && !ended;
        // The program's pause is the time the poll below waits for its output: a poll
        // that finds output waiting returns at once. Asking the terminal instead would
        // cost a call on every read of a flood.
        if (reading && dryAt == 0) {
            dryAt = MonotonicMilliseconds();
            dryDelay = RunDelay(schedstat.Get());
        }
        const bool writing = m_hasPending && !hungUp;
        // A hung-up terminal keeps reporting POLLHUP: it is watched only while read.
        const bool watch = reading || writing;
        pollfd fds[2] = {{watch ? m_master.Get() : -1,
                          static_cast<short>((reading ? POLLIN : 0) | (writing ? POLLOUT : 0)), 0},
                         {m_pumpEvent.Get(), POLLIN, 0}};
        if (reading && wholeBuffer && !writing) {
            fds[0].revents = POLLIN;  // read at once; an empty terminal answers EAGAIN
        } else if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        m_wroteDirectly = false;
        if ((fds[1].revents & POLLIN) != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] ssize_t n = ::read(m_pumpEvent.Get(), &count, sizeof count);
        }
        if (reading && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            const ssize_t n = ::read(m_master.Get(), chunk.data(), chunk.size());
            const int error = errno;
            wholeBuffer = n >= kLineDisciplineBuffer - 1;
            // Counted after the read: output read after a reset is never taken for older.
            readAfter = m_resets.load();
            if (n > 0) {
                unsigned long pause = 0;
                if (dryAt != 0) {
                    const std::uint64_t elapsed = MonotonicMilliseconds() - dryAt;
                    const std::uint64_t delayed =
                        elapsed == 0 ? 0 : (RunDelay(schedstat.Get()) - dryDelay) / 1000000;
                    pause = static_cast<unsigned long>(elapsed > delayed ? elapsed - delayed : 0);
                    dryAt = 0;
                }
                heldFrom = 0;
                heldTo = static_cast<std::size_t>(n);
                heldFrom += sink.Output(std::string_view(chunk.data(), heldTo), pause);
            } else if (n == 0 || (error != EAGAIN && error != EINTR)) {
                // EIO: no program holds the terminal any more and everything it wrote
                // has been read. Before the console released the terminal that cannot
                // happen; after, it is the end of the output.
                hungUp = true;
                ended = m_released;
                sink.HungUp();
            }
        }
        if (writing && (fds[0].revents & POLLOUT) != 0) {
            sink.Writable();
        }
    }
}

void ConsolePty::QueueInput(std::string_view bytes) {
    if (m_pendingInput.size() - m_pendingOffset + bytes.size() > kMaxPendingInput) {
        return;  // the programs read nothing: drop rather than grow without bound
    }
    m_pendingInput.append(bytes);
    if (m_pendingInput.size() - m_pendingOffset > kInputHighWater) {
        m_inputFull = true;
    }
    // A key with nothing queued before it is written at once where the terminal takes it,
    // so that it reaches the program without waking the pump: the first since the pump
    // last woke. Input that follows before the pump wakes (a paste) wakes it and is
    // written by it in large writes, as is whatever the terminal did not take.
    if (m_hasPending.load()) {
        return;
    }
    if (!m_wroteDirectly.exchange(true)) {
        FlushInput();
        return;
    }
    m_hasPending = true;
    Kick();
}

bool ConsolePty::FlushInput() {
    while (m_pendingOffset < m_pendingInput.size()) {
        const ssize_t n = ::write(m_master.Get(), m_pendingInput.data() + m_pendingOffset,
                                  m_pendingInput.size() - m_pendingOffset);
        if (n > 0) {
            m_pendingOffset += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        break;  // full: the pump writes the rest when the terminal takes it
    }
    // Written bytes leave the front in one step, not one erase per write.
    if (m_pendingOffset == m_pendingInput.size()) {
        m_pendingInput.clear();
        m_pendingOffset = 0;
    } else if (m_pendingOffset >= std::size_t{64} * 1024 &&
               m_pendingOffset * 2 >= m_pendingInput.size()) {
        m_pendingInput.erase(0, m_pendingOffset);
        m_pendingOffset = 0;
    }
    const std::size_t left = m_pendingInput.size() - m_pendingOffset;
    bool drained = false;
    if (m_inputFull && left < kInputLowWater) {
        m_inputFull = false;
        drained = true;
    }
    const bool pending = left > 0;
    if (pending != m_hasPending.exchange(pending) && pending) {
        Kick();
    }
    return drained;
}

void ConsolePty::DropInput() {
    m_pendingInput.clear();
    m_pendingOffset = 0;
    m_inputFull = false;
    m_hasPending = false;
}

void ConsolePty::SetSize(int rows, int cols) {
    winsize size{};
    if (::ioctl(m_master.Get(), TIOCGWINSZ, &size) != 0 || size.ws_row != rows ||
        size.ws_col != cols) {
        size.ws_row = static_cast<unsigned short>(rows);
        size.ws_col = static_cast<unsigned short>(cols);
        ::ioctl(m_master.Get(), TIOCSWINSZ, &size);
    }
}

bool ConsolePty::SetInputMode(DWORD mode) {
    termios t{};
    if (::tcgetattr(m_slave.Get(), &t) != 0) {
        return FailWithErrno();
    }
    auto apply = [&](tcflag_t& flags, tcflag_t bit, bool on) {
        flags = on ? flags | bit : flags & ~bit;
    };
    apply(t.c_lflag, ISIG, (mode & ENABLE_PROCESSED_INPUT) != 0);
    apply(t.c_lflag, ICANON, (mode & ENABLE_LINE_INPUT) != 0);
    apply(t.c_lflag, ECHO, (mode & ENABLE_ECHO_INPUT) != 0);
    if (::tcsetattr(m_slave.Get(), TCSANOW, &t) != 0) {
        return FailWithErrno();
    }
    return true;
}

bool ConsolePty::GetInputMode(DWORD& mode) {
    termios t{};
    if (::tcgetattr(m_slave.Get(), &t) != 0) {
        return FailWithErrno();
    }
    mode = ((t.c_lflag & ISIG) != 0 ? ENABLE_PROCESSED_INPUT : 0) |
           ((t.c_lflag & ICANON) != 0 ? ENABLE_LINE_INPUT : 0) |
           ((t.c_lflag & ECHO) != 0 ? ENABLE_ECHO_INPUT : 0);
    return true;
}

bool ConsolePty::ReadInput(char* buffer, DWORD size, DWORD& read) {
    for (;;) {
        const ssize_t n = ::read(m_slave.Get(), buffer, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return FailWithErrno();
        }
        read = static_cast<DWORD>(n);
        break;
    }
    // The Enter key arrives as CR, which the terminal's input processing turns into LF;
    // a line read in line mode ends in CR, as on Windows.
    termios t{};
    if (read > 0 && buffer[read - 1] == '\n' && ::tcgetattr(m_slave.Get(), &t) == 0 &&
        (t.c_lflag & ICANON) != 0) {
        buffer[read - 1] = '\r';
    }
    return true;
}

bool ConsolePty::InterruptForeground() {
    const pid_t group = ::tcgetpgrp(m_master.Get());
    if (group < 0) {
        return FailWithErrno();
    }
    if (group == 0) {
        SetLastError(ESRCH);  // no program has the console as its terminal
        return false;
    }
    if (group == ::getpgrp()) {
        SetLastError(EPERM);  // never the session itself
        return false;
    }
    // The user's programs are the privileged side's when the session is split.
    return PrivilegeBroker::Current().Interrupt(group);
}

void ConsolePty::Release() {
    if (!m_released.exchange(true)) {
        m_slave.Reset();
        Kick();
    }
}

bool ConsolePty::PrepareAttachment(ConsoleAttachment& attachment) {
    attachment.slave = m_slave.Get();
    attachment.mode = m_defaultMode;
    return true;
}

void ConsolePty::ResetModes() {
    DropInput();
    ++m_resets;
    Kick();
    ::tcsetattr(m_slave.Get(), TCSANOW, &m_defaultMode);
    ::tcflush(m_slave.Get(), TCIOFLUSH);
}
