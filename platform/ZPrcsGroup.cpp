#include "platform/ZPrcsGroup.h"

#include <vector>

#include "infra/ZTraceScope.h"

namespace {

// Walks repeat until one finds nothing left to end, so that a process started while a
// walk was under way is found by the next; a bound keeps a runaway from holding the end.
constexpr int kMaxWalks = 10;

template <class Function>
Function Lookup(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(GetProcAddress(module, name));
}

}  // namespace

ZPrcsGroup::ZPrcsGroup() : m_hKernel(LoadLibraryA("KERNEL32.DLL")) {}

ZPrcsGroup::~ZPrcsGroup() {
    Terminate();
    if (m_hKernel != nullptr) {
        FreeLibrary(m_hKernel);
    }
}

bool ZPrcsGroup::CreateJob(DWORD pid) {
    ZTraceScope trace;
    trace.Trace("ZPrcsGroup::CreateJob( ", pid, " )");
    if (m_dwParentId != 0) {
        trace.Trace("parent already set");
        return false;
    }
    m_dwParentId = pid;
    m_hParent = OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid);
    if (m_hParent == nullptr) {
        trace.Trace("OpenProcess( ):err");
        return false;
    }
    const auto create = Lookup<CreateJobObjectAFunction>(m_hKernel, "CreateJobObjectA");
    if (create == nullptr) {
        trace.Trace("GetProcAddress( ):err");
        return false;
    }
    const auto assign =
        Lookup<AssignProcessToJobObjectFunction>(m_hKernel, "AssignProcessToJobObject");
    if (assign == nullptr) {
        trace.Trace("GetProcAddress1( ):err");
        return false;
    }
    m_hJob = create(nullptr, nullptr);
    if (m_hJob == nullptr) {
        trace.Trace("fCreateJobObject( ):err");
        return false;
    }
    if (assign(m_hJob, m_hParent) == FALSE) {
        trace.Trace("fAssignProcessToJobObject( ):err");
        return false;
    }
    return true;
}

bool ZPrcsGroup::Terminate() {
    ZTraceScope trace;
    trace.Trace("ZPrcsGroup::Terminate( )");
    if (!TerminateNT5()) {
        TerminateNT4();
    }
    TerminateProcess(m_hParent, 0);
    if (m_hParent != nullptr) {
        // Reaped here, so a shell of ours never stays a zombie.
        DWORD code = 0;
        WaitForSingleObject(m_hParent, 1000);
        GetExitCodeProcess(m_hParent, &code);
        CloseHandle(m_hParent);
    }
    m_hParent = nullptr;
    m_dwParentId = 0;
    return true;
}

bool ZPrcsGroup::TerminateNT5() {
    ZTraceScope trace;
    trace.Trace("ZPrcsGroup::TerminateNT5( )");
    if (m_hJob == nullptr) {
        trace.Trace("m_hJob is null");
        return false;
    }
    const auto terminate = Lookup<TerminateJobObjectFunction>(m_hKernel, "TerminateJobObject");
    if (terminate == nullptr) {
        trace.Trace("GetProcAddress( ):err");
        return false;
    }
    if (terminate(m_hJob, 0) == FALSE) {
        trace.Trace("fTerminateJobObject( ):err");
        return false;
    }
    CloseHandle(m_hJob);
    m_hJob = nullptr;
    return true;
}

bool ZPrcsGroup::TerminateNT4() {
    ZTraceScope trace;
    trace.Trace("ZPrcsGroup::TerminateNT4( )");
    if (m_dwParentId == 0) {
        trace.Trace("m_dwParentId is 0");
        return false;
    }
    HMODULE psapi = LoadLibraryA("PSAPI.DLL");
    if (psapi == nullptr) {
        trace.Trace("LoadLibrary( ):err");
        return false;
    }
    const auto enumerate = Lookup<EnumProcessesFunction>(psapi, "EnumProcesses");
    if (enumerate == nullptr) {
        trace.Trace("GetProcAddress( ):err");
        FreeLibrary(psapi);
        return false;
    }
    HMODULE ntdll = LoadLibraryA("NTDLL.DLL");
    if (ntdll == nullptr) {
        trace.Trace("LoadLibrary1( ):err");
        FreeLibrary(psapi);
        return false;
    }
    const auto query =
        Lookup<NtQueryInformationProcessFunction>(ntdll, "NtQueryInformationProcess");
    if (query == nullptr) {
        trace.Trace("GetProcAddress1( ):err");
        FreeLibrary(ntdll);
        FreeLibrary(psapi);
        return false;
    }
    bool result = true;
    for (int walk = 0; walk < kMaxWalks; ++walk) {
        std::vector<DWORD> ids(4990);
        DWORD bytes = 0;
        if (enumerate(ids.data(), static_cast<DWORD>(ids.size() * sizeof(DWORD)), &bytes) ==
            FALSE) {
            trace.Trace("lpfEnumProcesses( ):err");
            result = false;
            break;
        }
        int ended = 0;
        for (DWORD i = 0; i < bytes / sizeof(DWORD); ++i) {
            const DWORD id = ids[i];
            if (id == m_dwParentId || id == GetCurrentProcessId()) {
                continue;  // the shell is ended last, by the caller
            }
            HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, id);
            if (process == nullptr) {
                trace.Trace("OpenProcess( ", id, " ):err");
                continue;
            }
            PROCESS_BASIC_INFORMATION basic{};
            PROCESS_SESSION_INFORMATION session{};
            DWORD length = 0;
            if (query(process, ProcessBasicInformation, &basic, sizeof basic, &length) == 0) {
                // Direct children, and (the shell leading its own session) everything in
                // the shell's session: background jobs included.
                const bool inSession = query(process, ProcessSessionInformation, &session,
                                             sizeof session, &length) == 0 &&
                                       session.SessionId == m_dwParentId;
                if (basic.InheritedFromUniqueProcessId == m_dwParentId || inSession) {
                    TerminateProcess(process, 0);
                    ++ended;
                }
            }
            CloseHandle(process);
        }
        if (ended == 0) {
            break;
        }
    }
    FreeLibrary(ntdll);
    FreeLibrary(psapi);
    return result;
}
