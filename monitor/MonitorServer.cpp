#include "monitor/MonitorServer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "monitor/LoginBanner.h"
#include "win32/CgroupJob.h"
#include "win32/HandleTable.h"
#include "win32/LoginRecord.h"
#include "win32/PamSession.h"
#include "win32/PrivilegeBroker.h"
#include "win32/ProcStat.h"
#include "win32/ProcessObject.h"
#include "win32/Spawn.h"
#include "win32/TerminalType.h"
#include "win32/TokenObject.h"

namespace {

// A pipe's end that the user's program may be given: an anonymous pipe (or FIFO) open
// the right way. Anything else the worker passed (a socket, a terminal, a file) is not.
bool IsPipeEnd(int fd, int accessMode) {
    struct stat st {};
    const int flags = fd >= 0 ? ::fcntl(fd, F_GETFL) : -1;
    return flags >= 0 && ::fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode) &&
           (flags & O_ACCMODE) == accessMode;
}

// How long the log-on's banner may wait for the terminal to take it.
constexpr int kBannerTimeoutMs = 5000;

// The session id of a process, or -1.
pid_t SessionOf(pid_t pid) {
    long parent = 0;
    long group = 0;
    long session = 0;
    return ReadProcStat(pid, parent, group, session) ? static_cast<pid_t>(session) : -1;
}

std::string ErrorText(DWORD code) {
    std::string text;
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, code, text);
    return text;
}

void Wipe(std::string& secret) {
    ::explicit_bzero(secret.data(), secret.size());
    secret.clear();
}

}  // namespace

// Every request the worker may make, and when.
const MonitorServer::Entry MonitorServer::kTable[] = {
    {MonitorRequest::Logon, kAuthenticating, true, &MonitorServer::Logon},
    {MonitorRequest::StartShell, kLoggedOn, true, &MonitorServer::StartShell},
    {MonitorRequest::Interrupt, kShellRunning, true, &MonitorServer::Interrupt},
    {MonitorRequest::ShellStatus, kShellRunning | kEnded, true, &MonitorServer::ShellStatus},
    {MonitorRequest::EndJob, kAuthenticating | kLoggedOn | kShellRunning | kEnded, true,
     &MonitorServer::EndJob},
    {MonitorRequest::Log, kAuthenticating | kLoggedOn | kShellRunning | kEnded, false,
     &MonitorServer::Log},
};

MonitorServer::MonitorServer(UniqueFd socket, pid_t worker, MonitorPolicy policy, UniqueFd terminal,
                             std::string terminalName)
    : m_socket(std::move(socket)),
      m_worker(worker),
      m_policy(std::move(policy)),
      m_terminal(std::move(terminal)),
      m_terminalName(std::move(terminalName)),
      m_lines(worker, ::getpid()) {}

const MonitorServer::Entry* MonitorServer::Find(std::uint32_t request) {
    for (const Entry& entry : kTable) {
        if (static_cast<std::uint32_t>(entry.request) == request) {
            return &entry;
        }
    }
    return nullptr;
}

bool MonitorServer::Allows(std::uint32_t request, State state) {
    const Entry* entry = Find(request);
    return entry != nullptr && (entry->states & state) != 0;
}

void MonitorServer::Run() {
    for (;;) {
        MonitorMessage message;
        if (!MonitorWire::Receive(m_socket.Get(), message)) {
            break;  // the worker is gone, or speaks no protocol of ours
        }
        const Entry* entry = Find(message.code);
        MonitorFields reply;
        std::uint32_t code = EINVAL;
        if (entry != nullptr && (entry->states & m_state) == 0) {
            code = EPERM;
        } else if (entry != nullptr) {
            m_passed = std::move(message.passed);
            code = (this->*entry->serve)(message.fields, reply);
        }
        message.fields.Wipe();
        // Whatever came along and was not taken is closed unused.
        m_passed = {};
        const bool replies = entry == nullptr || entry->replies;
        if (replies &&
            !MonitorWire::Send(m_socket.Get(), code, code == 0 ? reply : MonitorFields())) {
            break;
        }
    }
    End();
}

std::uint32_t MonitorServer::Logon(MonitorFields& fields, MonitorFields& reply) {
    LogonRequest request;
    const bool decoded = MonitorWire::Decode(fields, request);
    if (!decoded || m_attempts >= m_policy.maxAttempts) {
        Wipe(request.password);
        return decoded ? EPERM : EINVAL;
    }
    ++m_attempts;
    std::string why;
    const std::string name = m_policy.AccountName(request.user, why);
    if (!why.empty() && m_policy.logLine != nullptr) {
        m_policy.logLine(why);
    }
    PrivilegeBroker::SetLogonTerminal(m_terminalName);
    HANDLE token = nullptr;
    const BOOL accepted = LogonUserA(name.c_str(), nullptr, request.password.c_str(),
                                     LOGON32_LOGON_INTERACTIVE, LOGON32_PROVIDER_DEFAULT, &token);
    const DWORD code = accepted != FALSE ? 0 : GetLastError();
    Wipe(request.password);
    PrivilegeBroker::SetLogonTerminal({});
    if (accepted == FALSE) {
        if (m_policy.logLine != nullptr) {
            m_policy.logLine(m_policy.RefusedLine(request.user, ErrorText(code)));
        }
        return code != 0 ? code : EACCES;
    }
    m_token.Reset(token);
    m_user = request.user;
    m_state = kLoggedOn;
    auto account = HandleTable::Instance().Get<TokenObject>(token);
    if (m_policy.logLine != nullptr) {
        m_policy.logLine(m_policy.AcceptedLine(account->name));
    }
    reply.Add(account->name)
        .Add(static_cast<std::uint64_t>(account->uid))
        .Add(static_cast<std::uint64_t>(account->gid))
        .Add(account->home)
        .Add(account->shell);
    return 0;
}

std::uint32_t MonitorServer::StartShell(MonitorFields& fields, MonitorFields& reply) {
    StartShellRequest request;
    if (!MonitorWire::Decode(fields, request)) {
        return EINVAL;
    }
    if (!m_policy.AllowsCommandLine(request.commandLine) || !m_terminal.Valid()) {
        return EPERM;  // only what the settings start, and only on this monitor's terminal
    }
    if (!m_policy.AcceptsVariables(request.variables)) {
        return EPERM;  // only variables this monitor's own accept_env names
    }
    // A command without a terminal runs on the three pipe ends that came along, checked
    // to be pipes the right way round.
    const StandardStreams streams{m_passed[0].Get(), m_passed[1].Get(), m_passed[2].Get()};
    if (request.streams &&
        (!IsPipeEnd(streams.input, O_RDONLY) || !IsPipeEnd(streams.output, O_WRONLY) ||
         !IsPipeEnd(streams.error, O_WRONLY))) {
        return EINVAL;
    }
    // The log-in session (limits, login uid, keyring, environment) opens here, in the
    // process that forks the shell, as sshd opens it.
    auto account = HandleTable::Instance().Get<TokenObject>(m_token.Get());
    if (!account) {
        return EPERM;
    }
    if (account->pam && !account->pam->Open()) {
        const DWORD code = GetLastError();
        if (m_policy.logLine != nullptr) {
            m_policy.logLine("session refused: [ " + account->name + " ] - " + ErrorText(code));
        }
        return code;
    }
    // An interactive log-on shows the message of the day and the last log-in (read before
    // this log-on's record) on its terminal before the shell starts, as sshd does; a
    // command without a terminal shows neither.
    const std::string messages = account->pam ? account->pam->TakeMessages() : std::string();
    if (!request.streams && request.commandLine == m_policy.shellCommand) {
        const std::string banner = LoginBanner::For(m_policy.printMotd, m_policy.printLastLog,
                                                    messages, account->uid, account->home);
        LoginBanner::Show(m_terminal.Get(), banner, kBannerTimeoutMs);
    }
    account->login = std::make_shared<const LoginEnvironment>(m_policy.Login(
        request.streams ? std::string() : m_terminalName, std::move(request.variables)));
    // What the user typed as the name, for the shell's ZAV_USER.
    ::setenv("ZAV_USER", m_user.c_str(), 1);  // NOLINT(concurrency-mt-unsafe): one thread
    // The client's terminal type as the worker read it: a plain name, decoded as such;
    // the shell gets it only where the machine has its entry.
    // NOLINTNEXTLINE(concurrency-mt-unsafe): one thread
    ::setenv(kClientTerminalVariable, request.terminalType.c_str(), 1);
    std::vector<char> line(request.commandLine.begin(), request.commandLine.end());
    line.push_back('\0');
    PROCESS_INFORMATION shell{};
    if (request.streams) {
        if (StartOnStreams(m_token.Get(), line.data(), nullptr, streams, &shell) == FALSE) {
            return GetLastError();
        }
    } else {
        ConsoleAttachment attachment;
        attachment.slave = m_terminal.Get();
        attachment.mode = request.modes;
        if (StartOnTerminal(m_token.Get(), line.data(), nullptr, attachment, &shell) == FALSE) {
            return GetLastError();
        }
    }
    // The worker alone holds the terminal now, so that it learns when the programs on it
    // have all gone.
    m_terminal.Reset();
    // The process object is kept here; the handles are not needed.
    const UniqueHandle process(shell.hProcess);
    const UniqueHandle thread(shell.hThread);
    m_shell = HandleTable::Instance().Get<ProcessObject>(shell.hProcess);
    m_shellPid = static_cast<pid_t>(shell.dwProcessId);
    m_state = kShellRunning;
    // who, w, last and lastlog show the log-in, with the client's address; a command
    // without a terminal is no log-in there, as with sshd.
    if (!request.streams) {
        LoginRecord::Login(m_terminalName, account->name, account->uid, m_policy.clientAddress,
                           m_shellPid);
        m_recorded = true;
    }
    reply.Add(static_cast<std::uint64_t>(m_shellPid));
    return 0;
}

std::uint32_t MonitorServer::ShellStatus(MonitorFields& fields, MonitorFields& reply) {
    pid_t pid = 0;
    if (!MonitorWire::DecodePid(fields, pid)) {
        return EINVAL;
    }
    if (!m_shell || pid != m_shellPid) {
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

std::uint32_t MonitorServer::Interrupt(MonitorFields& fields, MonitorFields& /*reply*/) {
    pid_t group = 0;
    if (!MonitorWire::DecodeGroup(fields, group)) {
        return EINVAL;
    }
    // Only a group of the shell's session: the shell leads it.
    if (m_shellPid <= 0 || SessionOf(group) != m_shellPid) {
        return EPERM;
    }
    return ::killpg(group, SIGINT) == 0 ? 0 : static_cast<std::uint32_t>(errno);
}

std::uint32_t MonitorServer::EndJob(MonitorFields& fields, MonitorFields& /*reply*/) {
    if (!fields.Done()) {
        return EINVAL;
    }
    EndShell();
    return 0;
}

std::uint32_t MonitorServer::Log(MonitorFields& fields, MonitorFields& /*reply*/) {
    LogRequest request;
    if (!MonitorWire::Decode(fields, request)) {
        return EINVAL;
    }
    const std::string lines = m_lines.Filter(request.text);
    if (!lines.empty() && m_policy.writeLines != nullptr) {
        m_policy.writeLines(request.file, lines);
    }
    return 0;
}

void MonitorServer::EndShell() {
    if (m_state == kEnded) {
        return;
    }
    m_state = kEnded;
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
    if (m_recorded) {
        // Also after a record that failed in part: the log-out touches only its own.
        LoginRecord::Logout(m_terminalName, m_shellPid);
    }
    if (auto account = HandleTable::Instance().Get<TokenObject>(m_token.Get());
        account && account->pam) {
        account->pam->Close();
    }
}

void MonitorServer::End() {
    EndShell();
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
