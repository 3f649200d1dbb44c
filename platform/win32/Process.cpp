// Process handles over pidfds.
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "platform/win32/HandleTable.h"
#include "platform/win32/ProcessObject.h"
#include "platform/win32/Win32.h"

BOOL CloseHandle(HANDLE handle) {
    if (!HandleTable::Instance().Remove(handle)) {
        SetLastError(EBADF);
        return FALSE;
    }
    return TRUE;
}

HANDLE OpenProcess(DWORD /*access*/, BOOL /*inherit*/, DWORD processId) {
    if (processId == 0 || processId > 0x7FFFFFFF) {
        SetLastError(EINVAL);
        return nullptr;
    }
    // pidfds are always close-on-exec.
    const long fd = ::syscall(SYS_pidfd_open, static_cast<pid_t>(processId), 0U);
    if (fd < 0) {
        FailWithErrno();
        return nullptr;
    }
    auto object = std::make_shared<ProcessObject>(static_cast<pid_t>(processId),
                                                  UniqueFd(static_cast<int>(fd)));
    object->m_birthGroup = CgroupJob::BirthGroupOf(static_cast<pid_t>(processId));
    return HandleTable::Instance().Add(object);
}

BOOL GetExitCodeProcess(HANDLE process, DWORD* exitCode) {
    auto object = HandleTable::Instance().Get<ProcessObject>(process);
    if (!object) {
        return FALSE;
    }
    return object->ExitCode(*exitCode) ? TRUE : FALSE;
}

BOOL TerminateProcess(HANDLE process, UINT exitCode) {
    auto object = HandleTable::Instance().Get<ProcessObject>(process);
    if (!object) {
        return FALSE;
    }
    return object->Terminate(exitCode) ? TRUE : FALSE;
}

DWORD GetProcessId(HANDLE process) {
    auto object = HandleTable::Instance().Get<ProcessObject>(process);
    return object ? static_cast<DWORD>(object->Pid()) : 0;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    auto object = HandleTable::Instance().Get<ProcessObject>(handle);
    if (!object) {
        return WAIT_FAILED;
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        int timeout = -1;
        if (milliseconds != INFINITE) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            timeout = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
        pollfd pfd{object->Fd(), POLLIN, 0};
        const int ready = ::poll(&pfd, 1, timeout);
        if (ready > 0) {
            return WAIT_OBJECT_0;
        }
        if (ready == 0) {
            return WAIT_TIMEOUT;
        }
        if (errno != EINTR) {
            FailWithErrno();
            return WAIT_FAILED;
        }
    }
}
