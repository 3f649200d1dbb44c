// The group of processes that belongs to the user's shell: a job holding the shell and
// everything it starts, so that the session's end takes them all along. Without jobs,
// the process list is walked instead.
#pragma once

#include "win32/UniqueHandle.h"
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

    UniqueModule m_hKernel;
    UniqueHandle m_hJob;
    UniqueHandle m_hParent;
    DWORD m_dwParentId = 0;
};
