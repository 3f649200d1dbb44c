#include "service/ZavdProxyReader.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/SocketAddress.h"
#include "service/ErrorText.h"
#include "service/ProxyHeader.h"

namespace {

// The child's report: fixed size, written at once (far below PIPE_BUF).
enum Outcome : std::uint8_t {
    kAddress = 1,  // the client's address and port follow
    kOwn = 2,      // valid; the connection's own addresses apply
    kInvalid = 3,  // error says why
    kClosed = 4,   // the connection ended before the header did
    kReadFailed = 5,
};

struct Report {
    std::uint8_t outcome = 0;
    std::uint8_t error = 0;   // a ProxyHeader::Error
    std::uint8_t family = 0;  // 4 or 6
    std::uint8_t reserved = 0;
    std::uint16_t port = 0;
    std::uint8_t address[16] = {};
};
static_assert(sizeof(Report) == 22, "the report's size is documented");

// Reads exactly the header from client, never a byte more.
Report ReadHeader(int client) {
    std::uint8_t buffer[ProxyHeader::kMaxV2];
    std::size_t have = 0;
    Report report;
    for (;;) {
        const ProxyHeader::Result header = ProxyHeader::Parse(buffer, have);
        if (header.state == ProxyHeader::State::Done) {
            report.outcome = header.family == 0 ? kOwn : kAddress;
            report.family = static_cast<std::uint8_t>(header.family);
            report.port = header.port;
            std::memcpy(report.address, header.address, sizeof report.address);
            return report;
        }
        if (header.state == ProxyHeader::State::Invalid || have + header.length > sizeof buffer) {
            report.outcome = kInvalid;
            report.error = static_cast<std::uint8_t>(header.error);
            return report;
        }
        const ssize_t n = ::read(client, buffer + have, header.length);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            report.outcome = n == 0 ? kClosed : kReadFailed;
            return report;
        }
        have += static_cast<std::size_t>(n);
    }
}

void CloseAllBut(int a, int b) {
    const auto low = static_cast<unsigned>(std::min(a, b));
    const auto high = static_cast<unsigned>(std::max(a, b));
    if (low > 0) {
        ::close_range(0, low - 1, 0);
    }
    if (high > low + 1) {
        ::close_range(low + 1, high - 1, 0);
    }
    ::close_range(high + 1, ~0U, 0);
}

// The child, right after fork: only async-signal-safe calls, no allocation.
[[noreturn]] void RunReader(int client, int report, const ZavdProxyReader::Identity& identity,
                            pid_t parent) {
    // Nothing of zavd stays open: no listener, no other client, not its log. zavd keeps
    // descriptors 0 to 2 open, so these two are above them, and /dev/null takes their
    // places. The reader leads a session of its own: no terminal of zavd's is left that
    // it could reach.
    CloseAllBut(client, report);
    if (::setsid() < 0 || ::open("/dev/null", O_RDWR | O_NOCTTY) != 0 || ::dup2(0, 1) != 1 ||
        ::dup2(0, 2) != 2) {
        ::_exit(1);
    }
    if (identity.drop && (::setgroups(0, nullptr) != 0 || ::setgid(identity.gid) != 0 ||
                          ::setuid(identity.uid) != 0 || ::setuid(0) == 0)) {
        ::_exit(1);
    }
    // Changing the ids clears the parent-death signal: it is set after.
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0 ||
        ::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) != 0 || ::getppid() != parent ||
        ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_STRICT, 0, 0, 0) != 0) {
        ::_exit(1);
    }
    // From here on only read, write and exit are allowed (exit_group kills).
    const Report result = ReadHeader(client);
    [[maybe_unused]] const ssize_t n = ::write(report, &result, sizeof result);
    ::syscall(SYS_exit, 0);
    ::_exit(0);  // not reached
}

}  // namespace

bool ZavdProxyReader::LookUp(const char* account, Identity& identity, std::string& error) {
    identity = Identity{};
    if (::geteuid() != 0) {
        return true;
    }
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwnam_r(account, &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr || entry.pw_uid == 0) {
        error = std::string("the system account ") + account +
                ", which reads PROXY headers, is missing (scripts/setup.sh creates it)";
        return false;
    }
    identity.drop = true;
    identity.uid = entry.pw_uid;
    identity.gid = entry.pw_gid;
    return true;
}

ZavdProxyReader::~ZavdProxyReader() {
    Kill();
}

bool ZavdProxyReader::Start(int client, const Identity& identity, std::string& error) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        error = "cannot make a pipe: " + ErrorText(errno);
        return false;
    }
    UniqueFd readEnd(ends[0]);
    UniqueFd writeEnd(ends[1]);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        error = "cannot start the PROXY header reader: " + ErrorText(errno);
        return false;
    }
    if (pid == 0) {
        RunReader(client, writeEnd.Get(), identity, parent);
    }
    m_pid = pid;
    m_process.Reset(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0U)));
    ::fcntl(readEnd.Get(), F_SETFL, O_NONBLOCK);
    m_report = std::move(readEnd);
    return true;
}

ZavdProxyReader::Outcome ZavdProxyReader::Finish() {
    Report report;
    ssize_t n = -1;
    do {
        n = ::read(m_report.Get(), &report, sizeof report);
    } while (n < 0 && errno == EINTR);
    m_report.Reset();
    Outcome outcome;
    if (n != static_cast<ssize_t>(sizeof report)) {
        outcome.reason = "the PROXY header reader ended without a report";
        return outcome;
    }
    switch (report.outcome) {
        case kAddress:
            if (report.family != 4 && report.family != 6) {
                break;
            }
            outcome.accepted = true;
            outcome.ip =
                SocketAddress::FromBytes(report.family, report.address, report.port).Host();
            outcome.port = std::to_string(report.port);
            return outcome;
        case kOwn:
            outcome.accepted = true;
            return outcome;
        case kInvalid:
            if (report.error > ProxyHeader::kLastError) {
                break;
            }
            outcome.reason = std::string("PROXY header invalid: ") +
                             ProxyHeader::Describe(static_cast<ProxyHeader::Error>(report.error));
            return outcome;
        case kClosed:
            outcome.reason = "PROXY header incomplete: the connection closed";
            return outcome;
        case kReadFailed:
            outcome.reason = "PROXY header not read: the connection failed";
            return outcome;
        default:
            break;
    }
    outcome.reason = "the PROXY header reader sent a malformed report";
    return outcome;
}

void ZavdProxyReader::Kill() {
    if (m_process.Valid()) {
        ::syscall(SYS_pidfd_send_signal, m_process.Get(), SIGKILL, nullptr, 0U);
        m_process.Reset();
    }
}
