#include "win32/Monitor.h"

#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "base/UniqueFd.h"
#include "win32/CgroupJob.h"
#include "win32/HandleTable.h"
#include "win32/ProcStat.h"
#include "win32/ProcessObject.h"
#include "win32/Spawn.h"
#include "win32/TokenObject.h"

namespace {

enum Request : std::uint32_t {
    kLogon = 1,
    kStartShell = 2,
    kInterrupt = 3,
    kEndJob = 4,
    kLog = 5,
    kShellStatus = 6,
};

constexpr std::uint32_t kMaxPayload = 64 * 1024;
constexpr std::size_t kMaxName = 256;  // a user name, a password, a terminal's path

enum class Role { Single, Monitor, Worker };
Role g_role = Role::Single;
bool g_hasJobs = false;
int g_socket = -1;          // the worker's end, or the monitor's
std::mutex g_requestMutex;  // one request at a time on the worker's side
std::string g_requestTerminal;
Monitor::LogWriter g_writer = nullptr;  // the monitor's way to the session's files

// ---- the wire: a header, then fields each a 32-bit length and its bytes ----------------

struct Header {
    std::uint32_t code;    // the request, or in a reply 0 or an error code
    std::uint32_t length;  // of the payload
};

class Fields {
  public:
    Fields() = default;
    explicit Fields(std::string bytes) : m_bytes(std::move(bytes)) {}
    Fields& Add(std::string_view value) {
        const auto n = static_cast<std::uint32_t>(value.size());
        m_bytes.append(reinterpret_cast<const char*>(&n), sizeof n);
        m_bytes.append(value);
        return *this;
    }
    Fields& Add(std::uint64_t value) {
        return Add(std::string_view(reinterpret_cast<const char*>(&value), sizeof value));
    }
    // The next field, at most limit bytes; false when the payload is malformed.
    bool Next(std::string& value, std::size_t limit) {
        std::uint32_t n = 0;
        if (m_bytes.size() - m_at < sizeof n) {
            return false;
        }
        std::memcpy(&n, m_bytes.data() + m_at, sizeof n);
        m_at += sizeof n;
        if (n > limit || m_bytes.size() - m_at < n) {
            return false;
        }
        value.assign(m_bytes, m_at, n);
        m_at += n;
        return true;
    }
    bool Next(std::uint64_t& value) {
        std::string bytes;
        if (!Next(bytes, sizeof value) || bytes.size() != sizeof value) {
            return false;
        }
        std::memcpy(&value, bytes.data(), sizeof value);
        return true;
    }
    bool Done() const { return m_at == m_bytes.size(); }
    // For fields that held a password.
    void Wipe() { ::explicit_bzero(m_bytes.data(), m_bytes.size()); }
    const std::string& Bytes() const { return m_bytes; }

  private:
    std::string m_bytes;
    std::size_t m_at = 0;
};

bool SendAll(int fd, const std::string& bytes, int passFd) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        iovec io{const_cast<char*>(bytes.data() + sent), bytes.size() - sent};
        msghdr message{};
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        if (passFd >= 0 && sent == 0) {
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            cmsghdr* c = CMSG_FIRSTHDR(&message);
            c->cmsg_level = SOL_SOCKET;
            c->cmsg_type = SCM_RIGHTS;
            c->cmsg_len = CMSG_LEN(sizeof(int));
            std::memcpy(CMSG_DATA(c), &passFd, sizeof(int));
        }
        const ssize_t n = ::sendmsg(fd, &message, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

// Reads exactly size bytes; a descriptor that comes along is kept in received.
bool ReceiveAll(int fd, char* buffer, std::size_t size, UniqueFd* received) {
    std::size_t got = 0;
    while (got < size) {
        iovec io{buffer + got, size - got};
        msghdr message{};
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(fd, &message, MSG_CMSG_CLOEXEC);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
                const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
                for (std::size_t i = 0; i < count; ++i) {
                    int passed = -1;
                    std::memcpy(&passed, CMSG_DATA(c) + i * sizeof(int), sizeof passed);
                    if (received != nullptr && !received->Valid()) {
                        received->Reset(passed);
                    } else {
                        ::close(passed);  // unasked for
                    }
                }
            }
        }
        got += static_cast<std::size_t>(n);
    }
    return true;
}

bool SendMessage(int fd, std::uint32_t code, const Fields& fields, int passFd = -1) {
    const Header header{code, static_cast<std::uint32_t>(fields.Bytes().size())};
    std::string bytes(reinterpret_cast<const char*>(&header), sizeof header);
    bytes += fields.Bytes();
    return SendAll(fd, bytes, passFd);
}

bool ReceiveMessage(int fd, std::uint32_t& code, Fields& fields, UniqueFd* received = nullptr) {
    Header header{};
    if (!ReceiveAll(fd, reinterpret_cast<char*>(&header), sizeof header, received) ||
        header.length > kMaxPayload) {
        return false;
    }
    std::string payload(header.length, '\0');
    if (!ReceiveAll(fd, payload.data(), payload.size(), received)) {
        return false;
    }
    code = header.code;
    fields = Fields(std::move(payload));
    return true;
}

// The worker's side of one exchange: false with the monitor's error code on refusal.
bool Ask(std::uint32_t request, const Fields& fields, Fields& reply, int passFd = -1) {
    std::lock_guard lock(g_requestMutex);
    std::uint32_t code = 0;
    if (!SendMessage(g_socket, request, fields, passFd) || !ReceiveMessage(g_socket, code, reply)) {
        SetLastError(EPIPE);
        return false;
    }
    if (code != 0) {
        SetLastError(code);
        return false;
    }
    return true;
}

// ---- the monitor ------------------------------------------------------------------------

// Text for a log file, as the worker formatted it; it may not make lines of its own.
std::string Sanitized(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool lineEnd = c == '\r' && i + 1 < text.size() && text[i + 1] == '\n';
        if (lineEnd) {
            out += "\r\n";
            ++i;
        } else if ((c < 0x20 && c != '\t') || c == 0x7F) {
            out.push_back('?');
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

// The session id of a process, or -1.
pid_t SessionOf(pid_t pid) {
    long parent = 0;
    long group = 0;
    long session = 0;
    return ReadProcStat(pid, parent, group, session) ? static_cast<pid_t>(session) : -1;
}

class Server {
  public:
    Server(int socket, pid_t worker, unsigned maxLogons)
        : m_socket(socket), m_worker(worker), m_maxLogons(maxLogons) {}

    [[noreturn]] void Run() {
        for (;;) {
            std::uint32_t request = 0;
            Fields fields;
            UniqueFd passed;
            if (!ReceiveMessage(m_socket, request, fields, &passed)) {
                break;  // the worker is gone
            }
            Fields reply;
            const std::uint32_t code = Serve(request, fields, std::move(passed), reply);
            fields.Wipe();
            if (request != kLog && !SendMessage(m_socket, code, reply)) {
                break;
            }
        }
        End();
    }

  private:
    std::uint32_t Serve(std::uint32_t request, Fields& fields, UniqueFd passed, Fields& reply) {
        if (m_ended && request != kLog) {
            return EPERM;  // nothing after the end
        }
        switch (request) {
            case kLogon:
                return Logon(fields, reply);
            case kStartShell:
                return StartShell(fields, std::move(passed), reply);
            case kInterrupt:
                return Interrupt(fields);
            case kShellStatus:
                return ShellStatus(fields, reply);
            case kEndJob:
                EndJob();
                return 0;
            case kLog:
                Log(fields);
                return 0;
            default:
                return EINVAL;
        }
    }

    std::uint32_t Logon(Fields& fields, Fields& reply) {
        std::string user;
        std::string password;
        std::string terminal;
        if (!fields.Next(user, kMaxName) || !fields.Next(password, kMaxName) ||
            !fields.Next(terminal, kMaxName) || !fields.Done() ||
            user.find('\0') != std::string::npos || password.find('\0') != std::string::npos) {
            ::explicit_bzero(password.data(), password.size());
            return EINVAL;
        }
        if (m_token != nullptr || m_attempts >= m_maxLogons) {
            ::explicit_bzero(password.data(), password.size());
            return EPERM;  // one log-on per session, and no more attempts than allowed
        }
        ++m_attempts;
        // PAM names the terminal it is made on: only a pseudo-terminal is taken.
        g_requestTerminal = terminal.rfind("/dev/pts/", 0) == 0 ? terminal : std::string();
        HANDLE token = nullptr;
        const BOOL accepted =
            LogonUserA(user.c_str(), nullptr, password.c_str(), LOGON32_LOGON_INTERACTIVE,
                       LOGON32_PROVIDER_DEFAULT, &token);
        ::explicit_bzero(password.data(), password.size());
        g_requestTerminal.clear();
        if (accepted == FALSE) {
            return GetLastError();
        }
        m_token = token;
        auto account = HandleTable::Instance().Get<TokenObject>(token);
        reply.Add(account->name)
            .Add(static_cast<std::uint64_t>(account->uid))
            .Add(static_cast<std::uint64_t>(account->gid))
            .Add(account->home)
            .Add(account->shell);
        return 0;
    }

    std::uint32_t StartShell(Fields& fields, UniqueFd terminal, Fields& reply) {
        std::string commandLine;
        std::string directory;
        std::string zavUser;
        std::string modes;
        if (!fields.Next(commandLine, 8192) || !fields.Next(directory, 4096) ||
            !fields.Next(zavUser, kMaxName) || !fields.Next(modes, sizeof(termios)) ||
            modes.size() != sizeof(termios) || !fields.Done() || !terminal.Valid() ||
            ::isatty(terminal.Get()) == 0) {
            return EINVAL;
        }
        // The shell starts where the session runs; the worker picks no directory for it.
        if (!directory.empty()) {
            return EINVAL;
        }
        if (m_token == nullptr || m_shell != nullptr) {
            return EPERM;  // a shell only after a log-on, and only one
        }
        ConsoleAttachment attachment;
        attachment.slave = terminal.Get();
        std::memcpy(&attachment.mode, modes.data(), sizeof(termios));
        ::setenv("ZAV_USER", zavUser.c_str(), 1);
        std::vector<char> line(commandLine.begin(), commandLine.end());
        line.push_back('\0');
        PROCESS_INFORMATION shell{};
        if (StartOnTerminal(m_token, line.data(), directory.empty() ? nullptr : directory.c_str(),
                            attachment, &shell) == FALSE) {
            return GetLastError();
        }
        // The worker alone holds the terminal now, so that it learns when the programs
        // on it have all gone.
        terminal.Reset();
        m_shell = HandleTable::Instance().Get<ProcessObject>(shell.hProcess);
        m_shellPid = static_cast<pid_t>(shell.dwProcessId);
        reply.Add(static_cast<std::uint64_t>(m_shellPid));
        return 0;
    }

    std::uint32_t ShellStatus(Fields& fields, Fields& reply) {
        std::uint64_t pid = 0;
        if (!fields.Next(pid) || !fields.Done()) {
            return EINVAL;
        }
        if (!m_shell || static_cast<pid_t>(pid) != m_shellPid) {
            return EPERM;  // only the shell's
        }
        int how = 0;
        int status = 0;
        if (!m_shell->WaitStatus(how, status)) {
            return GetLastError();
        }
        reply.Add(static_cast<std::uint64_t>(how)).Add(static_cast<std::uint64_t>(status));
        return 0;
    }

    std::uint32_t Interrupt(Fields& fields) {
        std::uint64_t group = 0;
        if (!fields.Next(group) || !fields.Done() || group <= 1 || group > 0x7FFFFFFF) {
            return EINVAL;
        }
        // Only a group of the shell's session: the shell leads it.
        const auto pgrp = static_cast<pid_t>(group);
        if (m_shellPid <= 0 || SessionOf(pgrp) != m_shellPid) {
            return EPERM;
        }
        return ::killpg(pgrp, SIGINT) == 0 ? 0 : static_cast<std::uint32_t>(errno);
    }

    void EndJob() {
        m_ended = true;
        if (m_shell && m_shell->m_birthGroup) {
            m_shell->m_birthGroup->Kill(5000);
        } else if (m_shellPid > 0) {
            ::kill(-m_shellPid, SIGKILL);  // without groups: the shell's own group
        }
        if (m_shell) {
            // Reaped once it has gone, so that no zombie is left.
            pollfd p{m_shell->Fd(), POLLIN, 0};
            ::poll(&p, 1, 1000);
            DWORD code = 0;
            m_shell->ExitCode(code);
        }
    }

    void Log(Fields& fields) {
        std::string file;
        std::string text;
        if (!fields.Next(file, 4096) || !fields.Next(text, kMaxPayload) || !fields.Done()) {
            return;
        }
        if (g_writer != nullptr) {
            g_writer(file, Sanitized(text));  // it takes only the session's own files
        }
    }

    [[noreturn]] void End() {
        EndJob();
        int status = 0;
        while (::waitpid(m_worker, &status, 0) < 0 && errno == EINTR) {
        }
        if (WIFSIGNALED(status)) {
            std::fprintf(stderr, "brisel[%d]: the session's worker ended by signal %d\n",
                         static_cast<int>(::getpid()), WTERMSIG(status));
            ::_exit(128 + WTERMSIG(status));
        }
        ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
    }

    int m_socket;
    pid_t m_worker;
    unsigned m_maxLogons;
    unsigned m_attempts = 0;
    HANDLE m_token = nullptr;
    std::shared_ptr<ProcessObject> m_shell;
    pid_t m_shellPid = -1;
    bool m_ended = false;
};

}  // namespace

bool Monitor::IsWorker() {
    return g_role == Role::Worker;
}

bool Monitor::IsMonitor() {
    return g_role == Role::Monitor;
}

bool Monitor::HasJobs() {
    return g_hasJobs;
}

std::string Monitor::RequestTerminal() {
    return g_requestTerminal;
}

bool Monitor::Split(const char* workerAccount, unsigned maxLogons, LogWriter writer) {
    if (::geteuid() != 0 || g_role != Role::Single) {
        return true;
    }
    g_writer = writer;
    // Everything the worker becomes is looked up before the split.
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (workerAccount == nullptr ||
        ::getpwnam_r(workerAccount, &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr || entry.pw_uid == 0) {
        SetLastError(ENOENT);
        return false;
    }
    const uid_t uid = entry.pw_uid;
    const gid_t gid = entry.pw_gid;
    g_hasJobs = !CgroupJob::Parent().empty();
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        return FailWithErrno();
    }
    const pid_t monitor = ::getpid();
    const pid_t worker = ::fork();
    if (worker < 0) {
        ::close(ends[0]);
        ::close(ends[1]);
        return FailWithErrno();
    }
    if (worker > 0) {
        // The monitor: it serves the worker and never returns.
        ::close(ends[1]);
        // Nothing of the session stays open here (the client's socket above all), so
        // that the connection ends with the worker.
        if (ends[0] > 3) {
            ::close_range(3, static_cast<unsigned>(ends[0] - 1), 0);
        }
        ::close_range(static_cast<unsigned>(ends[0] + 1), ~0U, 0);
        g_role = Role::Monitor;
        g_socket = ends[0];
        Server(ends[0], worker, maxLogons).Run();
    }
    ::close(ends[0]);
    g_socket = ends[1];
    // The worker: never root again, no capabilities, no new privileges, no core dump,
    // and gone with the monitor.
    if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0 ||
        ::setuid(0) == 0 || ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0 ||
        ::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) != 0 || ::getppid() != monitor) {
        ::_exit(1);
    }
    g_role = Role::Worker;
    return true;
}

bool Monitor::Logon(const std::string& user, const std::string& password,
                    const std::string& terminal, Account& account) {
    if (user.size() > kMaxName || password.size() > kMaxName || terminal.size() > kMaxName) {
        SetLastError(ERROR_PAM_TAG | 7);  // refused like a wrong password
        return false;
    }
    Fields request = Fields().Add(user).Add(password).Add(terminal);
    Fields reply;
    const bool accepted = Ask(kLogon, request, reply);
    request.Wipe();
    if (!accepted) {
        return false;
    }
    std::uint64_t uid = 0;
    std::uint64_t gid = 0;
    if (!reply.Next(account.name, kMaxName) || !reply.Next(uid) || !reply.Next(gid) ||
        !reply.Next(account.home, 4096) || !reply.Next(account.shell, 4096)) {
        SetLastError(EPROTO);
        return false;
    }
    account.uid = static_cast<uid_t>(uid);
    account.gid = static_cast<gid_t>(gid);
    return true;
}

bool Monitor::StartShell(const std::string& commandLine, const std::string& directory,
                         const std::string& zavUser, const termios& modes, int terminal,
                         pid_t& pid) {
    Fields reply;
    const Fields request =
        Fields()
            .Add(commandLine)
            .Add(directory)
            .Add(zavUser)
            .Add(std::string_view(reinterpret_cast<const char*>(&modes), sizeof modes));
    std::uint64_t shell = 0;
    if (!Ask(kStartShell, request, reply, terminal) || !reply.Next(shell)) {
        return false;
    }
    pid = static_cast<pid_t>(shell);
    return true;
}

bool Monitor::Interrupt(pid_t group) {
    Fields reply;
    return Ask(kInterrupt, Fields().Add(static_cast<std::uint64_t>(group)), reply);
}

bool Monitor::ShellStatus(pid_t pid, int& how, int& status) {
    Fields reply;
    std::uint64_t h = 0;
    std::uint64_t s = 0;
    if (!Ask(kShellStatus, Fields().Add(static_cast<std::uint64_t>(pid)), reply) ||
        !reply.Next(h) || !reply.Next(s) || h > 0xFF || s > 0xFFFF) {
        return false;
    }
    how = static_cast<int>(h);
    status = static_cast<int>(s);
    return true;
}

bool Monitor::EndJob() {
    Fields reply;
    return Ask(kEndJob, Fields(), reply);
}

void Monitor::Log(const std::string& file, std::string_view text) {
    // No answer comes: a line is never waited for.
    std::lock_guard lock(g_requestMutex);
    std::string_view rest = text;
    while (!rest.empty()) {
        const std::size_t n = std::min<std::size_t>(rest.size(), kMaxPayload - 8192);
        SendMessage(g_socket, kLog, Fields().Add(file).Add(rest.substr(0, n)));
        rest.remove_prefix(n);
    }
}

BOOL SeparatePrivileges(const char* account, DWORD maxLogons, MONITOR_LOG_WRITER writer,
                        BOOL* separated) {
    const bool ok = Monitor::Split(account, maxLogons, writer);
    if (separated != nullptr) {
        *separated = Monitor::IsWorker() ? TRUE : FALSE;
    }
    return ok ? TRUE : FALSE;
}

void WriteThroughMonitor(const std::string& file, std::string_view text) {
    if (Monitor::IsWorker()) {
        Monitor::Log(file, text);
    }
}
