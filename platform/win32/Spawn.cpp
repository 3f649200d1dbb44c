// CreateProcessA and CreateProcessAsUserA: fork and exec onto the console.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32/CgroupJob.h"
#include "platform/win32/ConsoleHost.h"
#include "platform/win32/HandleTable.h"
#include "platform/win32/ProcessObject.h"
#include "platform/win32/TokenObject.h"
#include "platform/win32/Win32.h"

extern char** environ;  // NOLINT

namespace {

// Everything the child needs, prepared before fork: after it the child makes only
// async-signal-safe calls.
struct Launch {
    std::vector<std::string> arguments;
    std::vector<char*> argv;
    std::vector<std::string> environment;
    std::vector<char*> envp;
    ConsoleAttachment attachment;
    std::string directory;
    const TokenObject* account = nullptr;
    std::vector<gid_t> groups;
    std::shared_ptr<CgroupJob> group;
    UniqueFd groupProcs;
};

void SetVariable(std::vector<std::string>& environment, const std::string& name,
                 const std::string& value) {
    const std::string prefix = name + "=";
    for (std::string& e : environment) {
        if (e.rfind(prefix, 0) == 0) {
            e = prefix + value;
            return;
        }
    }
    environment.push_back(prefix + value);
}

bool Prepare(Launch& launch, const TokenObject* account, const char* commandLine,
             const char* directory) {
    ConsoleHost* console = ConsoleHost::Instance();
    if (console == nullptr || !console->PrepareAttachment(launch.attachment)) {
        return false;
    }
    launch.arguments = {"/bin/sh", "-c", std::string("exec ") + commandLine};
    for (std::string& a : launch.arguments) {
        launch.argv.push_back(a.data());
    }
    launch.argv.push_back(nullptr);
    for (char** e = environ; *e != nullptr; ++e) {
        launch.environment.emplace_back(*e);
    }
    // Programs talk to the console, which is an xterm, whatever the client is.
    SetVariable(launch.environment, "TERM", "xterm");
    launch.account = account;
    if (account != nullptr) {
        // A POSIX shell takes its identity and its files from these.
        SetVariable(launch.environment, "HOME", account->home);
        SetVariable(launch.environment, "USER", account->name);
        SetVariable(launch.environment, "LOGNAME", account->name);
        SetVariable(launch.environment, "SHELL", account->shell);
        int count = 64;
        launch.groups.resize(static_cast<std::size_t>(count));
        while (::getgrouplist(account->name.c_str(), account->gid, launch.groups.data(), &count) <
               0) {
            launch.groups.resize(static_cast<std::size_t>(count));
        }
        launch.groups.resize(static_cast<std::size_t>(count));
        // The terminal becomes the user's, as a log-in makes it: programs that open it
        // by name (passwd, ssh) can.
        gid_t tty = account->gid;
        std::vector<char> buffer(4096);
        group entry{};
        group* found = nullptr;
        if (::getgrnam_r("tty", &entry, buffer.data(), buffer.size(), &found) == 0 &&
            found != nullptr) {
            tty = found->gr_gid;
        }
        if (::fchown(launch.attachment.slave, account->uid, tty) != 0 ||
            ::fchmod(launch.attachment.slave, 0620) != 0) {
            return FailWithErrno();
        }
    }
    for (std::string& e : launch.environment) {
        launch.envp.push_back(e.data());
    }
    launch.envp.push_back(nullptr);
    if (directory != nullptr) {
        launch.directory = directory;
    }
    // Where groups are available, the program is born into a group of its own, so that
    // nothing it starts can slip out before the job takes it.
    launch.group = CgroupJob::Create();
    if (launch.group) {
        launch.groupProcs = launch.group->OpenProcs();
        if (!launch.groupProcs.Valid()) {
            launch.group.reset();
        }
    }
    return true;
}

[[noreturn]] void Fail(int report, int error) {
    [[maybe_unused]] ssize_t n = ::write(report, &error, sizeof error);
    ::_exit(127);
}

// In the child.
[[noreturn]] void Exec(const Launch& launch, int report) {
    if (launch.groupProcs.Valid() && ::write(launch.groupProcs.Get(), "0", 1) != 1) {
        Fail(report, errno);
    }
    // The session's signal arrangements are not the program's.
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) {
        ::sigaction(sig, &defaults, nullptr);
    }
    const int attached = ConsoleHost::AttachChild(launch.attachment);
    if (attached != 0) {
        Fail(report, attached);
    }
    if (!launch.directory.empty() && ::chdir(launch.directory.c_str()) != 0) {
        Fail(report, errno);
    }
    if (launch.account != nullptr) {
        if (::setgroups(launch.groups.size(), launch.groups.data()) != 0 ||
            ::setgid(launch.account->gid) != 0 || ::setuid(launch.account->uid) != 0) {
            Fail(report, errno);
        }
    }
    ::execve(launch.argv[0], launch.argv.data(), launch.envp.data());
    Fail(report, errno);
}

BOOL Start(const TokenObject* account, char* commandLine, const char* directory,
           PROCESS_INFORMATION* process) {
    if (commandLine == nullptr || *commandLine == '\0' || process == nullptr) {
        SetLastError(EINVAL);
        return FALSE;
    }
    Launch launch;
    if (!Prepare(launch, account, commandLine, directory)) {
        return FALSE;
    }
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        return FailWithErrno();
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(report[0]);
        Exec(launch, report[1]);
    }
    ::close(report[1]);
    if (pid < 0) {
        ::close(report[0]);
        return FailWithErrno();
    }
    // Nothing arrives when the exec succeeded (the pipe closes with it).
    int error = 0;
    ssize_t n = 0;
    do {
        n = ::read(report[0], &error, sizeof error);
    } while (n < 0 && errno == EINTR);
    ::close(report[0]);
    if (n == sizeof error) {
        ::waitpid(pid, nullptr, 0);
        SetLastError(static_cast<DWORD>(error));
        return FALSE;
    }
    const long fd = ::syscall(SYS_pidfd_open, pid, 0U);
    auto object = std::make_shared<ProcessObject>(pid, UniqueFd(static_cast<int>(fd)));
    if (launch.group) {
        CgroupJob::RememberBirth(pid, launch.group);
    }
    object->m_birthGroup = std::move(launch.group);
    process->hProcess = HandleTable::Instance().Add(object);
    process->hThread = HandleTable::Instance().Add(object);
    process->dwProcessId = static_cast<DWORD>(pid);
    process->dwThreadId = static_cast<DWORD>(pid);
    return TRUE;
}

}  // namespace

BOOL CreateProcessA(const char* /*application*/, char* commandLine, void* /*processAttributes*/,
                    void* /*threadAttributes*/, BOOL /*inherit*/, DWORD /*flags*/,
                    void* /*environment*/, const char* directory, STARTUPINFOA* /*startup*/,
                    PROCESS_INFORMATION* process) {
    return Start(nullptr, commandLine, directory, process);
}

BOOL CreateProcessAsUserA(HANDLE token, const char* /*application*/, char* commandLine,
                          void* /*processAttributes*/, void* /*threadAttributes*/, BOOL /*inherit*/,
                          DWORD /*flags*/, void* /*environment*/, const char* directory,
                          STARTUPINFOA* /*startup*/, PROCESS_INFORMATION* process) {
    auto account = HandleTable::Instance().Get<TokenObject>(token);
    if (!account) {
        return FALSE;
    }
    return Start(account.get(), commandLine, directory, process);
}
