#include "platform/ZPrcsGroup.h"

#include <cstdint>
#include <vector>

#include "infra/ZTraceScope.h"

namespace {

// Walks repeat until one finds nothing left to end, so that a process started while a
// walk was under way is found by the next; a bound keeps a runaway from holding the end.
constexpr int kMaxWalks = 10;

// The functions looked up at run time, as the modules export them.
using CreateJobObjectAFunction = HANDLE (*)(void* attributes, const char* name);
using AssignProcessToJobObjectFunction = BOOL (*)(HANDLE job, HANDLE process);
using TerminateJobObjectFunction = BOOL (*)(HANDLE job, UINT exitCode);
using EnumProcessesFunction = BOOL (*)(DWORD* ids, DWORD bytes, DWORD* bytesReturned);
using NtQueryInformationProcessFunction = std::int32_t (*)(HANDLE process, int infoClass,
                                                           void* info, DWORD length,
                                                           DWORD* returned);

template <class Function>
Function Lookup(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(GetProcAddress(module, name));
}

}  // namespace

ZPrcsGroup::ZPrcsGroup() : m_hKernel(LoadLibraryA("KERNEL32.DLL")) {}

ZPrcsGroup::~ZPrcsGroup() {
    Terminate();
}

bool ZPrcsGroup::CreateJob(DWORD pid) {
    ZTraceScope trace;
    trace.Trace("ZPrcsGroup::CreateJob( ", pid, " )");
    if (m_dwParentId != 0) {
        trace.Trace("parent already set");
        return false;
    }
    m_dwParentId = pid;
    m_hParent.Reset(OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid));
    if (!m_hParent.Valid()) {
        trace.Trace("OpenProcess( ):err");
        return false;
    }
    const auto create = Lookup<CreateJobObjectAFunction>(m_hKernel.Get(), "CreateJobObjectA");
    if (create == nullptr) {
        trace.Trace("GetProcAddress( ):err");
        return false;
    }
    const auto assign =
        Lookup<AssignProcessToJobObjectFunction>(m_hKernel.Get(), "AssignProcessToJobObject");
    if (assign == nullptr) {
        trace.Trace("GetProcAddress1( ):err");
        return false;
    }
    m_hJob.Reset(create(nullptr, nullptr));
    if (!m_hJob.Valid()) {
        trace.Trace("fCreateJobObject( ):err");
        return false;
    }
    if (assign(m_hJob.Get(), m_hParent.Get()) == FALSE) {
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
    TerminateProcess(m_hParent.Get(), 0);
    if (m_hParent.Valid()) {
        // Reaped here, so a shell of ours never stays a zombie.
        DWORD code = 0;
        WaitForSingleObject(m_hParent.Get(), 1000);
        GetExitCodeProcess(m_hParent.Get(), &code);
    }
    m_hParent.Reset();
    m_dwParentId = 0;
    return true;
}

bool ZPrcsGroup::TerminateNT5() {
    ZTraceScope trace;
    trace.Trace("ZPrcsGroup::TerminateNT5( )");
    if (!m_hJob.Valid()) {
        trace.Trace("m_hJob is null");
        return false;
    }
    const auto terminate =
        Lookup<TerminateJobObjectFunction>(m_hKernel.Get(), "TerminateJobObject");
    if (terminate == nullptr) {
        trace.Trace("GetProcAddress( ):err");
        return false;
    }
    if (terminate(m_hJob.Get(), 0) == FALSE) {
        trace.Trace("fTerminateJobObject( ):err");
        return false;
    }
    m_hJob.Reset();
    return true;
}

bool ZPrcsGroup::TerminateNT4() {
    ZTraceScope trace;
    trace.Trace("ZPrcsGroup::TerminateNT4( )");
    if (m_dwParentId == 0) {
        trace.Trace("m_dwParentId is 0");
        return false;
    }
    const UniqueModule psapi(LoadLibraryA("PSAPI.DLL"));
    if (!psapi.Valid()) {
        trace.Trace("LoadLibrary( ):err");
        return false;
    }
    const auto enumerate = Lookup<EnumProcessesFunction>(psapi.Get(), "EnumProcesses");
    if (enumerate == nullptr) {
        trace.Trace("GetProcAddress( ):err");
        return false;
    }
    const UniqueModule ntdll(LoadLibraryA("NTDLL.DLL"));
    if (!ntdll.Valid()) {
        trace.Trace("LoadLibrary1( ):err");
        return false;
    }
    const auto query =
        Lookup<NtQueryInformationProcessFunction>(ntdll.Get(), "NtQueryInformationProcess");
    if (query == nullptr) {
        trace.Trace("GetProcAddress1( ):err");
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
            const UniqueHandle process(OpenProcess(PROCESS_ALL_ACCESS, FALSE, id));
            if (!process.Valid()) {
                trace.Trace("OpenProcess( ", id, " ):err");
                continue;
            }
            PROCESS_BASIC_INFORMATION basic{};
            PROCESS_SESSION_INFORMATION session{};
            DWORD length = 0;
            if (query(process.Get(), ProcessBasicInformation, &basic, sizeof basic, &length) == 0) {
                // Direct children, and (the shell leading its own session) everything in
                // the shell's session: background jobs included.
                const bool inSession = query(process.Get(), ProcessSessionInformation, &session,
                                             sizeof session, &length) == 0 &&
                                       session.SessionId == m_dwParentId;
                if (basic.InheritedFromUniqueProcessId == m_dwParentId || inSession) {
                    TerminateProcess(process.Get(), 0);
                    ++ended;
                }
            }
        }
        if (ended == 0) {
            break;
        }
    }
    return result;
}
