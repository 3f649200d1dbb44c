// Process handles over pidfds.
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <vector>

#include "win32/ErrnoFailure.h"
#include "win32/HandleTable.h"
#include "win32/ProcessObject.h"
#include "win32/Win32.h"

namespace {

class EventObject : public KernelObject {
  public:
    explicit EventObject(UniqueFd fd) : m_fd(std::move(fd)) {}
    int WaitFd() const override { return m_fd.Get(); }
    bool ResetOnWait() const override { return true; }

  private:
    UniqueFd m_fd;
};

}  // namespace

HANDLE CreateEventA(void* /*attributes*/, BOOL manualReset, BOOL initialState, const char* name) {
    if (manualReset != FALSE || name != nullptr) {
        SetLastError(EINVAL);
        return nullptr;
    }
    UniqueFd fd(::eventfd(initialState != FALSE ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!fd.Valid()) {
        FailWithErrno();
        return nullptr;
    }
    return HandleTable::Instance().Add(std::make_shared<EventObject>(std::move(fd)));
}

BOOL SetEvent(HANDLE event) {
    auto object = HandleTable::Instance().Get<EventObject>(event);
    if (!object) {
        return FALSE;
    }
    const std::uint64_t one = 1;
    if (::write(object->WaitFd(), &one, sizeof one) != static_cast<ssize_t>(sizeof one)) {
        return FailWithErrno();
    }
    return TRUE;
}

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

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
    std::vector<std::shared_ptr<KernelObject>> objects;
    std::vector<pollfd> fds;
    for (DWORD i = 0; i < count; ++i) {
        auto object = HandleTable::Instance().Get<KernelObject>(handles[i]);
        if (!object || object->WaitFd() < 0 || waitAll != FALSE) {
            SetLastError(object && waitAll == FALSE ? EBADF : EINVAL);
            return WAIT_FAILED;
        }
        fds.push_back(pollfd{object->WaitFd(),
                             static_cast<short>(object->WaitsForRoom() ? POLLOUT : POLLIN), 0});
        objects.push_back(std::move(object));
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        int timeout = -1;
        if (milliseconds != INFINITE) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            timeout = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
        const int ready = ::poll(fds.data(), fds.size(), timeout);
        if (ready == 0) {
            return WAIT_TIMEOUT;
        }
        if (ready < 0 && errno != EINTR) {
            FailWithErrno();
            return WAIT_FAILED;
        }
        for (std::size_t i = 0; ready > 0 && i < fds.size(); ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            // The first signalled, as Windows reports it; an event it saw is reset.
            if (objects[i]->ResetOnWait()) {
                std::uint64_t value = 0;
                [[maybe_unused]] const ssize_t n = ::read(fds[i].fd, &value, sizeof value);
            }
            return WAIT_OBJECT_0 + static_cast<DWORD>(i);
        }
    }
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    auto object = HandleTable::Instance().Get<KernelObject>(handle);
    if (!object || object->WaitFd() < 0) {
        if (object) {
            SetLastError(EBADF);
        }
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
        pollfd pfd{object->WaitFd(), static_cast<short>(object->WaitsForRoom() ? POLLOUT : POLLIN),
                   0};
        const int ready = ::poll(&pfd, 1, timeout);
        if (ready > 0) {
            if (object->ResetOnWait()) {
                std::uint64_t count = 0;
                [[maybe_unused]] const ssize_t n = ::read(pfd.fd, &count, sizeof count);
            }
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
