#include "win32/ProcessObject.h"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "win32/PrivilegeBroker.h"

namespace {

// The process's /proc/<pid>/stat fields after the command name; the name may itself
// contain ") (", so the split is at the last ")".
bool ReadStatFields(pid_t pid, std::string& fields) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line)) {
        return false;
    }
    const auto close = line.rfind(')');
    if (close == std::string::npos || close + 2 > line.size()) {
        return false;
    }
    fields = line.substr(close + 2);
    return true;
}

}  // namespace

DWORD ProcessObject::FromWaitStatus(int how, int status) const {
    if (how == CLD_EXITED) {
        return static_cast<DWORD>(status);
    }
    // Ended by a signal. A process that we killed reports the code we asked for, as
    // TerminateProcess promises; any other signal reports 128 + signal, as shells do.
    if (status == SIGKILL && m_terminateCode) {
        return *m_terminateCode;
    }
    return static_cast<DWORD>(128 + status);
}

bool ProcessObject::ExitCode(DWORD& code) {
    std::lock_guard lock(m_mutex);
    if (m_exitCode) {
        code = *m_exitCode;
        return true;
    }
    if (ExitCodeOfChild(code)) {
        return true;
    }
    if (GetLastError() != ECHILD) {
        return false;
    }
    return ExitCodeOfOther(code);
}

void ProcessObject::Ended(int how, int status) {
    m_how = how;
    m_status = status;
    m_exitCode = FromWaitStatus(how, status);
}

bool ProcessObject::WaitStatus(int& how, int& status) {
    DWORD code = 0;
    if (!ExitCode(code)) {
        return false;
    }
    std::lock_guard lock(m_mutex);
    how = m_how;
    status = m_status;
    return true;
}

bool ProcessObject::ExitCodeOfChild(DWORD& code) {
    siginfo_t info{};
    if (::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(m_pidfd.Get()), &info,
                 WEXITED | WNOHANG) != 0) {
        return FailWithErrno();
    }
    if (info.si_pid == 0) {
        code = STILL_ACTIVE;
        return true;
    }
    Ended(info.si_code, info.si_status);
    code = *m_exitCode;
    return true;
}

bool ProcessObject::ExitCodeOfOther(DWORD& code) {
    pollfd pfd{m_pidfd.Get(), POLLIN, 0};
    const int ready = ::poll(&pfd, 1, 0);
    if (ready < 0) {
        return FailWithErrno();
    }
    if (ready == 0) {
        code = STILL_ACTIVE;
        return true;
    }
    // Ended. Only its parent can reap it. The shell of a separated session is the
    // monitor's child, and only the monitor may see its status.
    int how = 0;
    int status = 0;
    const PrivilegeBroker* broker = PrivilegeBroker::Installed();
    if (broker != nullptr && broker->shellStatus(m_pid, how, status)) {
        if (how == 0) {
            code = STILL_ACTIVE;  // gone, but not yet reaped: asked again later
            return true;
        }
        Ended(how, status);
        code = *m_exitCode;
        return true;
    }
    // While it is a zombie the kernel still shows its wait status (stat field 52) to
    // whoever may trace it. Once reaped nothing is left to read: report 0.
    m_exitCode = 0;
    std::string fields;
    if (ReadStatFields(m_pid, fields)) {
        std::istringstream in(fields);
        std::string state;
        in >> state;
        std::string field;
        int index = 3;  // the state is field 3
        while (index < 52 && in >> field) {
            ++index;
        }
        if (state == "Z" && index == 52) {
            const int wait = std::stoi(field);
            if (WIFEXITED(wait)) {
                Ended(CLD_EXITED, WEXITSTATUS(wait));
            } else if (WIFSIGNALED(wait)) {
                Ended(WCOREDUMP(wait) ? CLD_DUMPED : CLD_KILLED, WTERMSIG(wait));
            }
        }
    }
    code = *m_exitCode;
    return true;
}

bool ProcessObject::Terminate(UINT exitCode) {
    std::lock_guard lock(m_mutex);
    if (m_exitCode) {
        SetLastError(ESRCH);
        return false;
    }
    if (::syscall(SYS_pidfd_send_signal, m_pidfd.Get(), SIGKILL, nullptr, 0) != 0) {
        return FailWithErrno();
    }
    m_terminateCode = exitCode;
    return true;
}
