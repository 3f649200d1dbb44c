#include "monitor/MonitorClient.h"

#include <string.h>

#include <cerrno>
#include <mutex>
#include <utility>

#include "win32/Win32.h"

namespace {

struct Worker {
    UniqueFd socket;
    UniqueFd master;
    UniqueFd slave;
    std::string terminalName;
    std::mutex requestMutex;  // one request at a time
    PrivilegeBroker broker{};
};

Worker& State() {
    static Worker worker;
    return worker;
}

bool g_installed = false;

// One exchange: false with the monitor's error code on refusal.
bool Ask(MonitorRequest request, const MonitorFields& fields, MonitorMessage& reply) {
    Worker& w = State();
    std::lock_guard lock(w.requestMutex);
    if (!MonitorWire::Send(w.socket.Get(), static_cast<std::uint32_t>(request), fields) ||
        !MonitorWire::Receive(w.socket.Get(), reply)) {
        SetLastError(EPIPE);
        return false;
    }
    if (reply.code != 0) {
        SetLastError(reply.code);
        return false;
    }
    return true;
}

}  // namespace

void MonitorClient::Install(UniqueFd socket, UniqueFd master, UniqueFd slave,
                            std::string terminalName, bool hasJobs) {
    Worker& w = State();
    w.socket = std::move(socket);
    w.master = std::move(master);
    w.slave = std::move(slave);
    w.terminalName = std::move(terminalName);
    w.broker = PrivilegeBroker{&MonitorClient::Logon,
                               &MonitorClient::StartShell,
                               &MonitorClient::Interrupt,
                               &MonitorClient::ShellStatus,
                               &MonitorClient::EndJob,
                               &MonitorClient::TakeTerminal,
                               hasJobs};
    PrivilegeBroker::Install(&w.broker);
    g_installed = true;
}

bool MonitorClient::Installed() {
    return g_installed;
}

bool MonitorClient::Logon(const std::string& user, const std::string& password,
                          PrivilegeBroker::Account& account) {
    if (user.empty() || user.size() > MonitorWire::kMaxName ||
        password.size() > MonitorWire::kMaxName) {
        SetLastError(ERROR_PAM_TAG | 7);  // refused like a wrong password
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

bool MonitorClient::StartShell(const std::string& commandLine, const termios& modes, pid_t& pid) {
    MonitorMessage reply;
    std::uint64_t shell = 0;
    if (!Ask(MonitorRequest::StartShell, MonitorWire::Encode(StartShellRequest{commandLine, modes}),
             reply) ||
        !reply.fields.Next(shell)) {
        return false;
    }
    pid = static_cast<pid_t>(shell);
    return true;
}

bool MonitorClient::Interrupt(pid_t group) {
    MonitorMessage reply;
    return Ask(MonitorRequest::Interrupt, MonitorFields().Add(static_cast<std::uint64_t>(group)),
               reply);
}

bool MonitorClient::ShellStatus(pid_t pid, int& how, int& status) {
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

bool MonitorClient::EndJob() {
    MonitorMessage reply;
    return Ask(MonitorRequest::EndJob, MonitorFields(), reply);
}

bool MonitorClient::TakeTerminal(int& master, int& slave, std::string& name) {
    Worker& w = State();
    std::lock_guard lock(w.requestMutex);
    if (!w.master.Valid() || !w.slave.Valid()) {
        SetLastError(EBADF);
        return false;
    }
    master = w.master.Release();
    slave = w.slave.Release();
    name = w.terminalName;
    return true;
}

void MonitorClient::Log(LineFile file, std::string_view lines) {
    Worker& w = State();
    std::lock_guard lock(w.requestMutex);
    // Whole lines per message, as many as fit.
    constexpr std::size_t kRoom = MonitorWire::kMaxPayload - 64;
    while (!lines.empty()) {
        std::size_t n = lines.size();
        if (n > kRoom) {
            const std::size_t end = lines.rfind("\r\n", kRoom - 2);
            n = end == std::string_view::npos ? kRoom : end + 2;
        }
        MonitorWire::Send(w.socket.Get(), static_cast<std::uint32_t>(MonitorRequest::Log),
                          MonitorWire::Encode(LogRequest{file, std::string(lines.substr(0, n))}));
        lines.remove_prefix(n);
    }
}
