#include "win32/ProcessObject.h"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "win32/ErrnoFailure.h"
#include "win32/PrivilegeBroker.h"

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
    // The descriptor becomes readable when the process ends: until then nothing more is
    // asked (a session's loop asks after its shell on every turn).
    pollfd pfd{m_pidfd.Get(), POLLIN, 0};
    const int ready = ::poll(&pfd, 1, 0);
    if (ready < 0) {
        return FailWithErrno();
    }
    if (ready == 0) {
        code = STILL_ACTIVE;
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
    // Ended (its descriptor said so). Only its parent can reap it: the shell of a separated session
    // is the monitor's child, and only the monitor may see its status.
    int how = 0;
    int status = 0;
    if (!PrivilegeBroker::Current().EndOfOther(m_pid, how, status)) {
        code = STILL_ACTIVE;  // gone, but not yet reaped: asked again later
        return true;
    }
    m_exitCode = 0;  // a status no one can read any more
    if (how != 0) {
        Ended(how, status);
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
