#include "win32/InProcessPrivileges.h"

#include <pwd.h>
#include <security/pam_appl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "win32/CgroupJob.h"
#include "win32/ConsoleTerminal.h"
#include "win32/ErrnoFailure.h"
#include "win32/PamErrorCode.h"
#include "win32/PamSession.h"
#include "win32/ProcStat.h"
#include "win32/ProcessPriority.h"
#include "win32/Spawn.h"
#include "win32/TokenObject.h"

namespace {

std::shared_ptr<TokenObject> Refuse(int result) {
    // A name the system does not know looks exactly like a wrong password.
    if (result == PAM_USER_UNKNOWN) {
        result = PAM_AUTH_ERR;
    }
    SetLastError(PamErrorCode(result));
    return nullptr;
}

}  // namespace

std::shared_ptr<TokenObject> InProcessPrivileges::Logon(const std::string& user,
                                                        const std::string& password) {
    // Where the attempt comes from, for the system's log and for modules that act on it
    // (the client's address is the session's ZAV_IP), and the terminal it is made on.
    std::string address;
    if (const char* ip = std::getenv("ZAV_IP"); ip != nullptr) {  // NOLINT(concurrency-mt-unsafe)
        address = ip;
    }
    std::string tty = LogonTerminal();
    if (tty.empty()) {
        if (const ConsoleTerminal* console = ConsoleTerminal::Current(); console != nullptr) {
            tty = console->TerminalName();
        }
    }
    // The transaction stays with the token: the privileged side opens the log-in session
    // with it before it starts the shell, and closes it after.
    auto pam = std::make_shared<PamSession>();
    if (!pam->Authenticate(user, password.c_str(), address, tty)) {
        return nullptr;
    }
    const std::string& name = pam->Name();

    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr) {
        return Refuse(PAM_USER_UNKNOWN);
    }
    auto object = std::make_shared<TokenObject>();
    object->name = entry.pw_name;
    object->uid = entry.pw_uid;
    object->gid = entry.pw_gid;
    object->home = entry.pw_dir != nullptr ? entry.pw_dir : "/";
    object->shell =
        entry.pw_shell != nullptr && *entry.pw_shell != '\0' ? entry.pw_shell : "/bin/sh";
    object->pam = std::move(pam);
    return object;
}

bool InProcessPrivileges::StartAs(const TokenObject& account, char* commandLine,
                                  const char* directory, PROCESS_INFORMATION& process,
                                  const StandardStreams* streams) {
    return StartProgram(&account, commandLine, directory, process, streams) != FALSE;
}

bool InProcessPrivileges::Interrupt(pid_t group) {
    if (::killpg(group, SIGINT) != 0) {
        return FailWithErrno();
    }
    return true;
}

bool InProcessPrivileges::Background(bool on) {
    // Without root a thread's priority could be lowered but never raised again.
    return ProcessPriority::Apply(::getpid(), on, ::geteuid() == 0);
}

bool InProcessPrivileges::EndOfOther(pid_t pid, int& how, int& status) {
    ZombieStatus(pid, how, status);
    return true;
}

bool InProcessPrivileges::HasJobs() {
    return !CgroupJob::Parent().empty();
}

bool InProcessPrivileges::CreateJobGroup(std::shared_ptr<CgroupJob>& group) {
    group = CgroupJob::Create();
    return group ? true : FailWithErrno();
}

bool InProcessPrivileges::EndJob(CgroupJob* group) {
    if (group == nullptr) {
        SetLastError(EINVAL);
        return false;
    }
    return group->Kill(5000) ? true : FailWithErrno();
}

bool InProcessPrivileges::TakeTerminal(UniqueFd& master, UniqueFd& slave, std::string& name) {
    return ConsoleTerminal::Make(master, slave, name);
}
