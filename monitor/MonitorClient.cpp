#include "monitor/MonitorClient.h"

#include <string.h>

#include <cerrno>
#include <cstdlib>
#include <utility>

#include "win32/CgroupJob.h"
#include "win32/ConsoleTerminal.h"
#include "win32/ErrnoFailure.h"
#include "win32/LoginEnvironment.h"
#include "win32/PamErrorCode.h"
#include "win32/ProcStat.h"
#include "win32/Spawn.h"
#include "win32/TerminalType.h"
#include "win32/TokenObject.h"
#include "win32/Win32.h"

namespace {

bool g_installed = false;

}  // namespace

MonitorClient& MonitorClient::Instance() {
    static MonitorClient client;
    return client;
}

void MonitorClient::Install(UniqueFd socket, UniqueFd master, UniqueFd slave,
                            std::string terminalName, bool hasJobs) {
    MonitorClient& client = Instance();
    client.m_socket = std::move(socket);
    client.m_master = std::move(master);
    client.m_slave = std::move(slave);
    client.m_terminalName = std::move(terminalName);
    client.m_hasJobs = hasJobs;
    PrivilegeBroker::Select(client);
    g_installed = true;
}

bool MonitorClient::Installed() {
    return g_installed;
}

bool MonitorClient::Ask(MonitorRequest request, const MonitorFields& fields,
                        MonitorMessage& reply) {
    return Ask(request, fields, {}, reply);
}

bool MonitorClient::Ask(MonitorRequest request, const MonitorFields& fields,
                        std::span<const int> passed, MonitorMessage& reply) {
    std::lock_guard lock(m_requestMutex);
    if (!MonitorWire::Send(m_socket.Get(), static_cast<std::uint32_t>(request), fields, passed) ||
        !MonitorWire::Receive(m_socket.Get(), reply)) {
        SetLastError(EPIPE);
        return false;
    }
    if (reply.code != 0) {
        SetLastError(reply.code);
        return false;
    }
    return true;
}

bool MonitorClient::RequestLogon(const std::string& user, const std::string& password,
                                 Account& account) {
    if (user.empty() || user.size() > MonitorWire::kMaxName ||
        password.size() > MonitorWire::kMaxName) {
        SetLastError(kLogonRefused);
        return false;
    }
    LogonRequest logon{user, password};
    MonitorFields request = MonitorWire::Encode(logon);
    ::explicit_bzero(logon.password.data(), logon.password.size());
    MonitorMessage reply;
    const bool accepted = Ask(MonitorRequest::Logon, request, reply);
    request.Wipe();
    if (!accepted) {
        return false;
    }
    std::uint64_t uid = 0;
    std::uint64_t gid = 0;
    if (!reply.fields.Next(account.name, MonitorWire::kMaxName) || !reply.fields.Next(uid) ||
        !reply.fields.Next(gid) || !reply.fields.Next(account.home, 4096) ||
        !reply.fields.Next(account.shell, 4096)) {
        SetLastError(EPROTO);
        return false;
    }
    account.uid = static_cast<uid_t>(uid);
    account.gid = static_cast<gid_t>(gid);
    return true;
}

bool MonitorClient::RequestShell(const std::string& commandLine, const termios& modes, pid_t& pid,
                                 const StandardStreams* streams) {
    MonitorMessage reply;
    std::uint64_t shell = 0;
    // NOLINTNEXTLINE(concurrency-mt-unsafe)
    const char* type = std::getenv(kClientTerminalVariable);
    StartShellRequest request;
    request.commandLine = commandLine;
    request.modes = modes;
    request.terminalType = type != nullptr && IsTerminalTypeName(type) ? type : "";
    request.variables = LoginEnvironment::Requested();
    request.streams = streams != nullptr;
    const int passed[3] = {streams != nullptr ? streams->input : -1,
                           streams != nullptr ? streams->output : -1,
                           streams != nullptr ? streams->error : -1};
    if (!Ask(MonitorRequest::StartShell, MonitorWire::Encode(request),
             streams != nullptr ? std::span<const int>(passed) : std::span<const int>(), reply) ||
        !reply.fields.Next(shell)) {
        return false;
    }
    pid = static_cast<pid_t>(shell);
    return true;
}

bool MonitorClient::RequestShellStatus(pid_t pid, int& how, int& status) {
    MonitorMessage reply;
    std::uint64_t h = 0;
    std::uint64_t s = 0;
    if (!Ask(MonitorRequest::ShellStatus, MonitorFields().Add(static_cast<std::uint64_t>(pid)),
             reply) ||
        !reply.fields.Next(h) || !reply.fields.Next(s) || h > 0xFF || s > 0xFFFF) {
        return false;
    }
    how = static_cast<int>(h);
    status = static_cast<int>(s);
    return true;
}

bool MonitorClient::RequestEndJob() {
    MonitorMessage reply;
    return Ask(MonitorRequest::EndJob, MonitorFields(), reply);
}

bool MonitorClient::RequestOffers(std::vector<DetachedOffer>& offers) {
    MonitorMessage reply;
    if (!Ask(MonitorRequest::Offers, MonitorFields(), reply)) {
        return false;
    }
    if (!MonitorWire::Decode(reply.fields, offers)) {
        SetLastError(EPROTO);
        return false;
    }
    return true;
}

bool MonitorClient::RequestReattach(pid_t pid, UniqueFd& relay) {
    MonitorMessage reply;
    if (!Ask(MonitorRequest::Reattach, MonitorFields().Add(static_cast<std::uint64_t>(pid)),
             reply)) {
        return false;
    }
    if (!reply.passed[0].Valid()) {
        SetLastError(EPROTO);
        return false;
    }
    relay = std::move(reply.passed[0]);
    return true;
}

bool MonitorClient::RequestDetach() {
    MonitorMessage reply;
    if (!Ask(MonitorRequest::Detach, MonitorFields(), reply)) {
        return false;
    }
    if (reply.passed[0].Valid()) {
        m_notice = std::move(reply.passed[0]);
    }
    if (!m_notice.Valid()) {
        SetLastError(EPROTO);
        return false;
    }
    return true;
}

bool MonitorClient::TakeNotice(std::string& address, UniqueFd& relay) {
    MonitorMessage notice;
    if (!m_notice.Valid() || !MonitorWire::Receive(m_notice.Get(), notice)) {
        m_notice.Reset();
        return false;
    }
    if (notice.code != MonitorWire::kNoticeAttach || !notice.passed[0].Valid() ||
        !MonitorWire::DecodeAddress(notice.fields, address)) {
        return false;
    }
    relay = std::move(notice.passed[0]);
    return true;
}

std::shared_ptr<TokenObject> MonitorClient::Logon(const std::string& user,
                                                  const std::string& password) {
    // This process has no right to check passwords: the monitor does, through PAM, on
    // the terminal it made.
    Account account;
    if (!RequestLogon(user, password, account)) {
        return nullptr;
    }
    auto object = std::make_shared<TokenObject>();
    object->name = account.name;
    object->uid = account.uid;
    object->gid = account.gid;
    object->home = account.home;
    object->shell = account.shell;
    return object;
}

bool MonitorClient::StartAs(const TokenObject& /*account*/, char* commandLine,
                            const char* directory, PROCESS_INFORMATION& process,
                            const StandardStreams* streams) {
    // A process without privileges cannot start a program as another account: the
    // monitor starts the shell of the account it logged on, on the terminal it made, and
    // this process watches it by its process id.
    if (commandLine == nullptr || (directory != nullptr && *directory != '\0')) {
        SetLastError(EINVAL);  // the shell starts where the session runs
        return false;
    }
    ConsoleTerminal* console = ConsoleTerminal::Current();
    ConsoleAttachment attachment;
    if (console == nullptr || !console->PrepareAttachment(attachment)) {
        return false;
    }
    pid_t pid = -1;
    if (!RequestShell(commandLine, attachment.mode, pid, streams)) {
        return false;
    }
    return AdoptProcess(pid, process) != FALSE;
}

bool MonitorClient::Interrupt(pid_t group) {
    MonitorMessage reply;
    return Ask(MonitorRequest::Interrupt, MonitorFields().Add(static_cast<std::uint64_t>(group)),
               reply);
}

bool MonitorClient::Background(bool on) {
    // The worker could lower its own priority, but not raise it again.
    MonitorMessage reply;
    return Ask(MonitorRequest::Background, MonitorFields().Add(std::uint64_t{on ? 1U : 0U}), reply);
}

bool MonitorClient::EndOfOther(pid_t pid, int& how, int& status) {
    // The shell is the monitor's child: only the monitor may see its status.
    if (RequestShellStatus(pid, how, status)) {
        return how != 0;  // gone, but not yet reaped there
    }
    ZombieStatus(pid, how, status);
    return true;
}

bool MonitorClient::HasJobs() {
    return m_hasJobs;
}

bool MonitorClient::CreateJobGroup(std::shared_ptr<CgroupJob>& group) {
    group = nullptr;  // the monitor started the shell into a group of its own: the job
    return true;
}

bool MonitorClient::EndJob(CgroupJob* group) {
    if (group == nullptr) {
        return RequestEndJob();
    }
    return group->Kill(5000) ? true : FailWithErrno();
}

bool MonitorClient::TakeTerminal(UniqueFd& master, UniqueFd& slave, std::string& name) {
    std::lock_guard lock(m_requestMutex);
    if (!m_master.Valid() || !m_slave.Valid()) {
        SetLastError(EBADF);
        return false;
    }
    master = std::move(m_master);
    slave = std::move(m_slave);
    name = m_terminalName;
    return true;
}

void MonitorClient::Log(LineFile file, std::string_view lines) {
    MonitorClient& client = Instance();
    std::lock_guard lock(client.m_requestMutex);
    // Whole lines per message, as many as fit.
    constexpr std::size_t kRoom = MonitorWire::kMaxPayload - 64;
    while (!lines.empty()) {
        std::size_t n = lines.size();
        if (n > kRoom) {
            const std::size_t end = lines.rfind("\r\n", kRoom - 2);
            n = end == std::string_view::npos ? kRoom : end + 2;
        }
        MonitorWire::Send(client.m_socket.Get(), static_cast<std::uint32_t>(MonitorRequest::Log),
                          MonitorWire::Encode(LogRequest{file, std::string(lines.substr(0, n))}));
        lines.remove_prefix(n);
    }
}
