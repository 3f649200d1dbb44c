#include "monitor/Monitor.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <vector>

#include "base/UniqueFd.h"
#include "monitor/MonitorClient.h"
#include "monitor/MonitorServer.h"
#include "monitor/WorkerSandbox.h"
#include "win32/CgroupJob.h"
#include "win32/ConsoleTerminal.h"
#include "win32/ErrnoFailure.h"
#include "win32/Win32.h"

namespace {

// The session's terminal, made by root: its slave belongs to root and no one else may
// open it until the log-on gives it to the user.
bool MakeTerminal(UniqueFd& master, UniqueFd& slave, std::string& name) {
    if (!ConsoleTerminal::Make(master, slave, name)) {
        return false;
    }
    if (::fchown(slave.Get(), 0, 0) != 0 || ::fchmod(slave.Get(), 0600) != 0) {
        return FailWithErrno();
    }
    return true;
}

// Closes every descriptor but those kept.
void CloseAllBut(std::vector<int> keep) {
    std::sort(keep.begin(), keep.end());
    unsigned from = 0;
    for (const int fd : keep) {
        if (fd < 0) {
            continue;  // nothing to keep
        }
        if (static_cast<unsigned>(fd) > from) {
            ::close_range(from, static_cast<unsigned>(fd) - 1, 0);
        }
        from = static_cast<unsigned>(fd) + 1;
    }
    ::close_range(from, ~0U, 0);
}

}  // namespace

bool Monitor::Split(const MonitorPolicy& policy) {
    if (MonitorClient::Installed()) {
        return true;
    }
    // zavd's registry channel: a socket, or nothing. Without the split no session is
    // detached or handed over (the hand-over is the monitors' alone), so it is closed.
    UniqueFd registry;
    if (policy.registry > 2) {
        struct stat st {};
        if (::fstat(policy.registry, &st) == 0 && S_ISSOCK(st.st_mode) && ::geteuid() == 0) {
            registry.Reset(policy.registry);
            ::fcntl(registry.Get(), F_SETFD, FD_CLOEXEC);
        } else if (::fcntl(policy.registry, F_GETFD) >= 0) {
            ::close(policy.registry);
        }
    }
    if (::geteuid() != 0) {
        return true;
    }
    const pid_t monitor = ::getpid();
    const auto id = static_cast<uid_t>(kWorkerIdBase + static_cast<uid_t>(monitor));
    // An account that happens to have the worker's id would be impersonated: refused.
    // (No other thread runs yet.)
    if (monitor <= 0 || static_cast<unsigned long>(monitor) > 0x7FFFFF ||
        ::getpwuid(id) != nullptr ||  // NOLINT(concurrency-mt-unsafe)
        ::getgrgid(id) != nullptr) {  // NOLINT(concurrency-mt-unsafe)
        SetLastError(EEXIST);
        return false;
    }
    UniqueFd master;
    UniqueFd slave;
    std::string terminalName;
    if (!MakeTerminal(master, slave, terminalName)) {
        return false;
    }
    const bool hasJobs = !CgroupJob::Parent().empty();
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        return FailWithErrno();
    }
    UniqueFd monitorEnd(ends[0]);
    UniqueFd workerEnd(ends[1]);
    const pid_t worker = ::fork();
    if (worker < 0) {
        return FailWithErrno();
    }
    if (worker > 0) {
        // The monitor. Nothing of the session stays open here (the client's socket above
        // all), so that the connection ends with the worker.
        workerEnd.Reset();
        master.Reset();
        CloseAllBut({0, 1, 2, monitorEnd.Get(), slave.Get(), registry.Get()});
        MonitorServer(std::move(monitorEnd), worker, policy, std::move(slave),
                      std::move(terminalName), std::move(registry))
            .Run();
    }
    monitorEnd.Reset();
    registry.Reset();  // zavd's channel is the monitor's alone
    // The worker: never root again, an id no one else has, no capabilities, no new
    // privileges, no core dump, gone with the monitor, and kept from the kernel calls
    // that would reach beyond it.
    if (::setgroups(0, nullptr) != 0 || ::setresgid(id, id, id) != 0 ||
        ::setresuid(id, id, id) != 0 || ::setuid(0) == 0 ||
        ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0 ||
        ::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) != 0 || ::getppid() != monitor ||
        !WorkerSandbox::Apply()) {
        ::_exit(1);
    }
    MonitorClient::Install(std::move(workerEnd), std::move(master), std::move(slave),
                           std::move(terminalName), hasJobs);
    return true;
}
