// A process handle: a pidfd, plus the exit code once it is known.
#pragma once

#include <sys/types.h>

#include <memory>
#include <mutex>
#include <optional>

#include "base/UniqueFd.h"
#include "win32/CgroupJob.h"
#include "win32/KernelObject.h"
#include "win32/Win32.h"

class ProcessObject : public KernelObject {
  public:
    ProcessObject(pid_t pid, UniqueFd pidfd) : m_pid(pid), m_pidfd(std::move(pidfd)) {}

    pid_t Pid() const { return m_pid; }
    int Fd() const { return m_pidfd.Get(); }
    int WaitFd() const override { return m_pidfd.Get(); }

    // STILL_ACTIVE while the process runs, else its exit code. A child of ours is
    // reaped here, so it does not stay a zombie. False only when the state cannot be read.
    bool ExitCode(DWORD& code);
    // How it ended, as waitid tells it: CLD_EXITED with the exit status, CLD_KILLED or
    // CLD_DUMPED with the signal; how is 0 while it runs or when that is unknown.
    bool WaitStatus(int& how, int& status);
    bool Terminate(UINT exitCode);

    // The group the process was started in, when it was started into one of its own.
    std::shared_ptr<CgroupJob> m_birthGroup;

  private:
    // Both only once the process's descriptor says it ended.
    bool ExitCodeOfChild(DWORD& code);
    bool ExitCodeOfOther(DWORD& code);
    DWORD FromWaitStatus(int how, int status) const;
    void Ended(int how, int status);

    const pid_t m_pid;
    UniqueFd m_pidfd;
    std::mutex m_mutex;
    std::optional<DWORD> m_exitCode;
    int m_how = 0;  // see WaitStatus
    int m_status = 0;
    std::optional<UINT> m_terminateCode;  // the code TerminateProcess asked for
};
