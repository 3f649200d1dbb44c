#include "monitor/MonitorServer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>
#include <utility>
#include <vector>

#include "base/SocketAddress.h"
#include "monitor/LoginBanner.h"
#include "win32/CgroupJob.h"
#include "win32/HandleTable.h"
#include "win32/LoginRecord.h"
#include "win32/PamSession.h"
#include "win32/PrivilegeBroker.h"
#include "win32/ProcStat.h"
#include "win32/ProcessObject.h"
#include "win32/ProcessPriority.h"
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
    {MonitorRequest::EndJob, kAuthenticating | kLoggedOn | kShellRunning | kEnded | kRelaying, true,
     &MonitorServer::EndJob},
    {MonitorRequest::Log, kAuthenticating | kLoggedOn | kShellRunning | kEnded | kRelaying, false,
     &MonitorServer::Log},
    {MonitorRequest::Offers, kLoggedOn, true, &MonitorServer::Offers},
    {MonitorRequest::Reattach, kLoggedOn, true, &MonitorServer::Reattach},
    {MonitorRequest::Detach, kShellRunning, true, &MonitorServer::Detach},
    {MonitorRequest::Background, kShellRunning, true, &MonitorServer::Background},
};

MonitorServer::MonitorServer(UniqueFd socket, pid_t worker, MonitorPolicy policy, UniqueFd terminal,
                             std::string terminalName, UniqueFd registry)
    : m_socket(std::move(socket)),
      m_worker(worker),
      m_policy(std::move(policy)),
      m_terminal(std::move(terminal)),
      m_terminalName(std::move(terminalName)),
      m_lines(worker, ::getpid()),
      m_registry(std::move(registry)),
      m_address(SocketAddress::Join(m_policy.clientAddress, m_policy.clientPort)) {}

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
        // The worker's requests, and what zavd says of its own accord.
        pollfd fds[2] = {{m_socket.Get(), POLLIN, 0}, {m_registry.Get(), POLLIN, 0}};
        if (::poll(fds, m_registry.Valid() ? 2 : 1, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (m_registry.Valid() && fds[1].revents != 0) {
            RegistryMessage unasked;
            if (ReceiveRegistry(unasked)) {
                Serve(unasked);
            }
        }
        if (fds[0].revents == 0) {
            continue;
        }
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
        const int passed = m_replyPassed.Get();
        const bool sent =
            !replies ||
            (code == 0 && passed >= 0
                 ? MonitorWire::Send(m_socket.Get(), code, reply, std::span<const int>(&passed, 1))
                 : MonitorWire::Send(m_socket.Get(), code, code == 0 ? reply : MonitorFields()));
        m_replyPassed.Reset();
        if (!sent) {
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
    m_uid = account->uid;
    m_account = account->name;
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
    // An interactive session is one zavd may later keep while its client is away.
    if (!request.streams) {
        ReportState("attached");
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

std::uint32_t MonitorServer::Background(MonitorFields& fields, MonitorFields& /*reply*/) {
    bool on = false;
    if (!MonitorWire::DecodeFlag(fields, on)) {
        return EINVAL;
    }
    // The worker's own priority, at one of two levels this side chooses: never above
    // the usual, never another process's.
    return ProcessPriority::Apply(m_worker, on, true) ? 0 : GetLastError();
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

std::uint32_t MonitorServer::Offers(MonitorFields& fields, MonitorFields& reply) {
    if (!fields.Done()) {
        return EINVAL;
    }
    std::vector<DetachedOffer> offers;
    RegistryMessage answer;
    // The account is the one this monitor logged on, never one the worker names.
    if (AskRegistry(RegistryCode::Offers, {std::to_string(m_uid)}, answer) &&
        answer.code == RegistryCode::Offers && answer.fields.size() % 4 == 0) {
        for (std::size_t i = 0; i + 3 < answer.fields.size(); i += 4) {
            DetachedOffer offer;
            std::uint64_t pid = 0;
            if (!RegistryWire::Number(answer.fields[i], INT_MAX, pid) || pid <= 1 ||
                !RegistryWire::Number(answer.fields[i + 1], UINT64_MAX, offer.since)) {
                continue;
            }
            offer.pid = static_cast<pid_t>(pid);
            offer.address = answer.fields[i + 2];
            offer.program = answer.fields[i + 3];
            offers.push_back(std::move(offer));
        }
    }
    reply = MonitorWire::Encode(offers);
    return 0;
}

std::uint32_t MonitorServer::Reattach(MonitorFields& fields, MonitorFields& /*reply*/) {
    pid_t pid = 0;
    if (!MonitorWire::DecodePid(fields, pid)) {
        return EINVAL;
    }
    // zavd hands over only a detached session of this monitor's account.
    RegistryMessage answer;
    if (!AskRegistry(RegistryCode::Attach, {std::to_string(m_uid), std::to_string(pid), m_address},
                     answer)) {
        return ENOTCONN;
    }
    if (answer.code != RegistryCode::Attach || !answer.passed.Valid()) {
        return ESRCH;
    }
    struct stat st {};
    if (::fstat(answer.passed.Get(), &st) != 0 || !S_ISSOCK(st.st_mode)) {
        return EPROTO;
    }
    m_replyPassed = std::move(answer.passed);
    m_relayed = pid;
    m_state = kRelaying;
    ReportState("relay");
    if (m_policy.logLine != nullptr) {
        m_policy.logLine("reattached to session " + std::to_string(pid) + " from " + m_address);
    }
    return 0;
}

std::uint32_t MonitorServer::Detach(MonitorFields& fields, MonitorFields& /*reply*/) {
    if (!fields.Done()) {
        return EINVAL;
    }
    if (!m_registry.Valid() || m_recorded == false) {
        return ENOTSUP;  // no zavd to find it again, or no interactive session
    }
    if (!m_notice.Valid()) {
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
            return static_cast<std::uint32_t>(errno);
        }
        m_notice.Reset(ends[0]);
        m_replyPassed.Reset(ends[1]);
    }
    m_detached = true;
    ReportState("detached");
    return 0;
}

void MonitorServer::ReportState(const char* state) {
    if (!m_registry.Valid()) {
        return;
    }
    const std::vector<std::string> fields = {state,
                                             m_account,
                                             std::to_string(m_uid),
                                             m_address,
                                             std::to_string(m_shellPid > 0 ? m_shellPid : 0),
                                             std::to_string(m_relayed)};
    if (!RegistryWire::Send(m_registry.Get(), RegistryCode::State, fields)) {
        m_registry.Reset();
    }
}

bool MonitorServer::ReceiveRegistry(RegistryMessage& message) {
    if (!RegistryWire::Receive(m_registry.Get(), message)) {
        m_registry.Reset();  // zavd is gone (the session ends with it), or spoke nonsense
        return false;
    }
    return true;
}

bool MonitorServer::AskRegistry(RegistryCode code, const std::vector<std::string>& fields,
                                RegistryMessage& answer) {
    // How long zavd may take to answer: it answers from its own table at once.
    constexpr int kAnswerTimeoutMs = 5000;
    if (!m_registry.Valid() || !RegistryWire::Send(m_registry.Get(), code, fields)) {
        m_registry.Reset();
        return false;
    }
    for (;;) {
        pollfd p{m_registry.Get(), POLLIN, 0};
        const int ready = ::poll(&p, 1, kAnswerTimeoutMs);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0 || !ReceiveRegistry(answer)) {
            return false;
        }
        if (answer.code == code || answer.code == RegistryCode::Refused) {
            return true;
        }
        Serve(answer);
    }
}

void MonitorServer::Serve(RegistryMessage& message) {
    switch (message.code) {
        case RegistryCode::Attach: {
            // A new client for this session: only while it is detached; otherwise the
            // relay's end is closed here and the other side sees it end.
            if (!m_detached) {
                return;
            }
            const int relay = message.passed.Get();
            MonitorFields notice;
            if (message.fields.size() == 1) {
                notice.Add(message.fields[0]);
            }
            if (message.fields.size() != 1 || relay < 0 || !m_notice.Valid() ||
                !MonitorWire::Send(m_notice.Get(), MonitorWire::kNoticeAttach, notice,
                                   std::span<const int>(&relay, 1))) {
                // zavd counts the session as taken: it is told it still waits.
                ReportState("detached");
                return;
            }
            m_detached = false;
            m_address = message.fields[0];
            ReportState("attached");
            return;
        }
        case RegistryCode::End:
            if (m_policy.logLine != nullptr) {
                m_policy.logLine("ended by the administrator");
            }
            // The shell's group ends, and with it the session; a session without a shell
            // ends at once.
            if (m_state == kShellRunning) {
                EndShell();
            } else {
                m_endedByService = true;
                ::kill(m_worker, SIGKILL);
            }
            return;
        default:
            return;  // an answer nothing waits for any more
    }
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
    if (m_endedByService) {
        ::_exit(0);
    }
    if (WIFSIGNALED(status)) {
        std::fprintf(stderr, "brisel[%d]: the session's worker ended by signal %d\n",
                     static_cast<int>(::getpid()), WTERMSIG(status));
        ::_exit(128 + WTERMSIG(status));
    }
    ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
}
