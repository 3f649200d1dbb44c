// The group of processes that belongs to the user's shell: a job holding the shell and
// everything it starts, so that the session's end takes them all along. Without jobs,
// the process list is walked instead.
#pragma once

#include "win32/Win32.h"

class ZPrcsGroup {
  public:
    ZPrcsGroup();
    ~ZPrcsGroup();
    ZPrcsGroup(const ZPrcsGroup&) = delete;
    ZPrcsGroup& operator=(const ZPrcsGroup&) = delete;

    bool CreateJob(DWORD pid);
    bool Terminate();
    bool TerminateNT5();
    bool TerminateNT4();

    HMODULE m_hKernel = nullptr;
    HANDLE m_hJob = nullptr;
    HANDLE m_hParent = nullptr;
    DWORD m_dwParentId = 0;
};
