// LoadLibraryA and GetProcAddress for the functions the session looks up at run time: the
// job functions over cgroup v2, the process list and the process information over /proc.
#include <dirent.h>

#include <strings.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "win32/CgroupJob.h"
#include "win32/ErrnoFailure.h"
#include "win32/HandleTable.h"
#include "win32/PrivilegeBroker.h"
#include "win32/ProcStat.h"
#include "win32/ProcessObject.h"
#include "win32/Win32.h"

namespace {

class ModuleObject : public KernelObject {
  public:
    explicit ModuleObject(std::string name) : m_name(std::move(name)) {}
    const std::string& Name() const { return m_name; }

  private:
    std::string m_name;
};

class JobObject : public KernelObject {
  public:
    explicit JobObject(std::shared_ptr<CgroupJob> group) : m_group(std::move(group)) {}
    std::shared_ptr<CgroupJob> m_group;
};

constexpr std::int32_t kStatusSuccess = 0;
constexpr std::int32_t kStatusUnsuccessful = static_cast<std::int32_t>(0xC0000001);

HANDLE CreateJobObject(void* /*attributes*/, const char* /*name*/) {
    // Without a group of this process's own, the privileged side keeps the shell in a
    // group of its own from its start: that is the job.
    std::shared_ptr<CgroupJob> group;
    if (!PrivilegeBroker::Current().CreateJobGroup(group)) {
        return nullptr;
    }
    return HandleTable::Instance().Add(std::make_shared<JobObject>(std::move(group)));
}

BOOL AssignProcessToJob(HANDLE job, HANDLE process) {
    auto j = HandleTable::Instance().Get<JobObject>(job);
    auto p = HandleTable::Instance().Get<ProcessObject>(process);
    if (!j || !p) {
        return FALSE;
    }
    if (!j->m_group) {
        return TRUE;  // the privileged side's: the shell is in it from its start
    }
    // A process started into a group of its own brings that group, with everything it
    // started meanwhile, into the job; the job's own empty group is given up for it.
    if (p->m_birthGroup && p->m_birthGroup != j->m_group && !j->m_group->Populated()) {
        j->m_group = p->m_birthGroup;
        return TRUE;
    }
    if (p->m_birthGroup == j->m_group) {
        return TRUE;
    }
    return j->m_group->Add(p->Pid()) ? TRUE : FailWithErrno();
}

BOOL TerminateJob(HANDLE job, UINT /*exitCode*/) {
    auto j = HandleTable::Instance().Get<JobObject>(job);
    if (!j) {
        return FALSE;
    }
    return PrivilegeBroker::Current().EndJob(j->m_group.get()) ? TRUE : FALSE;
}

BOOL EnumProcesses(DWORD* ids, DWORD bytes, DWORD* bytesReturned) {
    if (ids == nullptr || bytesReturned == nullptr) {
        SetLastError(EINVAL);
        return FALSE;
    }
    DIR* dir = ::opendir("/proc");
    if (dir == nullptr) {
        return FailWithErrno();
    }
    DWORD count = 0;
    while (const dirent* entry = ::readdir(dir)) {  // NOLINT(concurrency-mt-unsafe): own stream
        char* end = nullptr;
        const unsigned long pid = std::strtoul(entry->d_name, &end, 10);
        if (*end != '\0' || pid == 0 || (count + 1) * sizeof(DWORD) > bytes) {
            continue;
        }
        ids[count++] = static_cast<DWORD>(pid);
    }
    ::closedir(dir);
    *bytesReturned = count * static_cast<DWORD>(sizeof(DWORD));
    return TRUE;
}

// The parent's and the session's ids of a process.
bool ReadStat(pid_t pid, DWORD& parent, DWORD& session) {
    long ppid = 0;
    long group = 0;
    long sid = 0;
    if (!ReadProcStat(pid, ppid, group, sid)) {
        return false;
    }
    parent = static_cast<DWORD>(ppid);
    session = static_cast<DWORD>(sid);
    return true;
}

std::int32_t NtQueryInformationProcess(HANDLE process, int infoClass, void* info, DWORD length,
                                       DWORD* returned) {
    auto p = HandleTable::Instance().Get<ProcessObject>(process);
    DWORD parent = 0;
    DWORD session = 0;
    if (!p || info == nullptr || !ReadStat(p->Pid(), parent, session)) {
        return kStatusUnsuccessful;
    }
    if (infoClass == ProcessBasicInformation && length >= sizeof(PROCESS_BASIC_INFORMATION)) {
        PROCESS_BASIC_INFORMATION basic{};
        basic.ExitStatus = static_cast<std::int32_t>(STILL_ACTIVE);
        basic.UniqueProcessId = static_cast<DWORD>(p->Pid());
        basic.InheritedFromUniqueProcessId = parent;
        std::memcpy(info, &basic, sizeof basic);
        if (returned != nullptr) {
            *returned = sizeof basic;
        }
        return kStatusSuccess;
    }
    if (infoClass == ProcessSessionInformation && length >= sizeof(PROCESS_SESSION_INFORMATION)) {
        PROCESS_SESSION_INFORMATION s{session};
        std::memcpy(info, &s, sizeof s);
        if (returned != nullptr) {
            *returned = sizeof s;
        }
        return kStatusSuccess;
    }
    return kStatusUnsuccessful;
}

bool Is(const std::string& a, const char* b) {
    return ::strcasecmp(a.c_str(), b) == 0;
}

}  // namespace

HMODULE LoadLibraryA(const char* name) {
    if (name == nullptr ||
        !(Is(name, "KERNEL32.DLL") || Is(name, "PSAPI.DLL") || Is(name, "NTDLL.DLL"))) {
        SetLastError(ENOENT);
        return nullptr;
    }
    return HandleTable::Instance().Add(std::make_shared<ModuleObject>(name));
}

FARPROC GetProcAddress(HMODULE module, const char* name) {
    auto m = HandleTable::Instance().Get<ModuleObject>(module);
    if (!m || name == nullptr) {
        return nullptr;
    }
    const std::string function = name;
    if (Is(m->Name(), "KERNEL32.DLL") && PrivilegeBroker::Current().HasJobs()) {
        if (function == "CreateJobObjectA") {
            return reinterpret_cast<FARPROC>(&CreateJobObject);
        }
        if (function == "AssignProcessToJobObject") {
            return reinterpret_cast<FARPROC>(&AssignProcessToJob);
        }
        if (function == "TerminateJobObject") {
            return reinterpret_cast<FARPROC>(&TerminateJob);
        }
    }
    if (Is(m->Name(), "PSAPI.DLL") && function == "EnumProcesses") {
        return reinterpret_cast<FARPROC>(&EnumProcesses);
    }
    if (Is(m->Name(), "NTDLL.DLL") && function == "NtQueryInformationProcess") {
        return reinterpret_cast<FARPROC>(&NtQueryInformationProcess);
    }
    SetLastError(ENOSYS);  // this platform has no such function
    return nullptr;
}

BOOL FreeLibrary(HMODULE module) {
    return CloseHandle(module);
}
