// CreateProcessA and CreateProcessAsUserA: fork and exec onto the console.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "win32/CgroupJob.h"
#include "win32/ConsoleTerminal.h"
#include "win32/ErrnoFailure.h"
#include "win32/HandleTable.h"
#include "win32/LoginEnvironment.h"
#include "win32/PamSession.h"
#include "win32/PipeObject.h"
#include "win32/PrivilegeBroker.h"
#include "win32/ProcessObject.h"
#include "win32/Spawn.h"
#include "win32/TerminalType.h"
#include "win32/TokenObject.h"
#include "win32/Win32.h"

namespace {

// Everything the child needs, prepared before fork: after it the child makes only
// async-signal-safe calls.
struct Launch {
    std::vector<std::string> arguments;
    std::vector<char*> argv;
    std::vector<std::string> environment;
    std::vector<char*> envp;
    ConsoleAttachment attachment;
    StandardStreams streams;  // instead of the console when valid
    std::string directory;
    std::string home;  // entered as the account, when no directory was given
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

// Whom a program is started as: the token's account, or without one this process's.
struct Identity {
    std::string name;
    uid_t uid = 0;
    std::string home;
    std::string shell;
};

Identity IdentityOf(const TokenObject* account) {
    if (account != nullptr) {
        return Identity{account->name, account->uid, account->home, account->shell};
    }
    Identity identity;
    identity.uid = ::geteuid();
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(identity.uid, &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr) {
        identity.name = entry.pw_name;
        identity.home = entry.pw_dir != nullptr ? entry.pw_dir : "/";
        identity.shell =
            entry.pw_shell != nullptr && *entry.pw_shell != '\0' ? entry.pw_shell : "/bin/sh";
    } else {
        identity.name = std::to_string(identity.uid);
        identity.home = "/";
        identity.shell = "/bin/sh";
    }
    return identity;
}

bool Prepare(Launch& launch, const TokenObject* account, const char* commandLine,
             const char* directory, const ConsoleAttachment* terminal,
             const StandardStreams* streams) {
    if (streams != nullptr) {
        if (!streams->Valid()) {
            SetLastError(EINVAL);
            return false;
        }
        launch.streams = *streams;
    } else if (terminal != nullptr) {
        launch.attachment = *terminal;  // the monitor starts it on the worker's terminal
    } else {
        ConsoleTerminal* console = ConsoleTerminal::Current();
        if (console == nullptr || !console->PrepareAttachment(launch.attachment)) {
            return false;
        }
    }
    launch.arguments = {"/bin/sh", "-c", std::string("exec ") + commandLine};
    for (std::string& a : launch.arguments) {
        launch.argv.push_back(a.data());
    }
    launch.argv.push_back(nullptr);
    // A log-in's environment, not the session's: nothing of zavd's (its PATH, its
    // secrets, the hand-off directory) reaches the user.
    const Identity identity = IdentityOf(account);
    launch.environment = {
        "HOME=" + identity.home,
        "USER=" + identity.name,
        "LOGNAME=" + identity.name,
        "SHELL=" + identity.shell,
        // The system's default search path (Debian's login.defs ENV_SUPATH, ENV_PATH).
        identity.uid == 0 ? "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
                          : "PATH=/usr/local/bin:/usr/bin:/bin:/usr/games",
        "MAIL=/var/mail/" + identity.name,
    };
    // The client's terminal type where the machine knows it, else xterm: the console
    // renders what either shows.
    // NOLINTNEXTLINE(concurrency-mt-unsafe)
    const char* client = std::getenv(kClientTerminalVariable);
    if (!launch.streams.Valid()) {  // a program without a terminal has no terminal type
        launch.environment.push_back("TERM=" +
                                     ProgramTerminalType(client != nullptr ? client : ""));
    }
    // What the log-in session's modules set (pam_env: /etc/environment, the system's
    // locale; pam_systemd: XDG_*) overrides the above, as sshd lets it. The terminal's
    // type and the session's own variables are facts of this session: they stay. The
    // session's own LANG (its console's) is never the program's: the locale is pam_env's,
    // or what the client sent.
    if (account != nullptr && account->pam) {
        for (const std::string& variable : account->pam->Environment()) {
            const std::size_t equals = variable.find('=');
            const std::string name = variable.substr(0, equals);
            if (equals != std::string::npos && !name.empty() && name != "TERM" &&
                !name.starts_with("ZAV_")) {
                SetVariable(launch.environment, name, variable.substr(equals + 1));
            }
        }
    }
    // The connection, the terminal and the client's accepted variables, as sshd sets them.
    if (account != nullptr && account->login) {
        account->login->ApplyTo(launch.environment);
    }
    for (const char* name : {"ZAV_VERSION", "ZAV_IP", "ZAV_PORT", "ZAV_USER"}) {
        // NOLINTNEXTLINE(concurrency-mt-unsafe)
        if (const char* value = std::getenv(name); value != nullptr) {
            SetVariable(launch.environment, name, value);
        }
    }
    launch.account = account;
    if (account != nullptr) {
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
        if (!launch.streams.Valid() && (::fchown(launch.attachment.slave, account->uid, tty) != 0 ||
                                        ::fchmod(launch.attachment.slave, 0620) != 0)) {
            return FailWithErrno();
        }
    }
    for (std::string& e : launch.environment) {
        launch.envp.push_back(e.data());
    }
    launch.envp.push_back(nullptr);
    if (directory != nullptr) {
        launch.directory = directory;
    } else {
        // A log-in starts in the home directory (or /, when that cannot be entered), as
        // sshd starts it: nothing of the session's own directory reaches the program.
        launch.home = identity.home;
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

// In the child: a session of its own without a terminal, the streams as 0, 1 and 2 and
// nothing else kept past the exec. The streams are first copied above 2, so that one
// already at 0-2 is neither overwritten nor left close-on-exec by a dup2 onto itself.
int AttachStreams(const StandardStreams& streams) {
    if (::setsid() < 0) {
        return errno;
    }
    const int from[3] = {streams.input, streams.output, streams.error};
    int copies[3] = {-1, -1, -1};
    for (int i = 0; i < 3; ++i) {
        copies[i] = ::fcntl(from[i], F_DUPFD_CLOEXEC, 3);
        if (copies[i] < 0) {
            return errno;
        }
    }
    for (int fd = 0; fd < 3; ++fd) {
        if (::dup2(copies[fd], fd) < 0) {
            return errno;
        }
    }
    ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    return 0;
}

// In the child.
[[noreturn]] void Exec(const Launch& launch, int report) {
    if (launch.groupProcs.Valid() && ::write(launch.groupProcs.Get(), "0", 1) != 1) {
        Fail(report, errno);
    }
    // The session's signal arrangements are not the program's.
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);  // NOLINT(concurrency-mt-unsafe): one thread
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) {
        ::sigaction(sig, &defaults, nullptr);
    }
    const int attached = launch.streams.Valid() ? AttachStreams(launch.streams)
                                                : ConsoleTerminal::AttachChild(launch.attachment);
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
    if (!launch.home.empty() && ::chdir(launch.home.c_str()) != 0 && ::chdir("/") != 0) {
        Fail(report, errno);
    }
    ::execve(launch.argv[0], launch.argv.data(), launch.envp.data());
    Fail(report, errno);
}

BOOL Start(const TokenObject* account, char* commandLine, const char* directory,
           PROCESS_INFORMATION* process, const ConsoleAttachment* terminal = nullptr,
           const StandardStreams* streams = nullptr) {
    if (commandLine == nullptr || *commandLine == '\0' || process == nullptr) {
        SetLastError(EINVAL);
        return FALSE;
    }
    Launch launch;
    if (!Prepare(launch, account, commandLine, directory, terminal, streams)) {
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

// The standard handles a start asks for (STARTF_USESTDHANDLES): false with
// ERROR_INVALID_HANDLE when one is no pipe end of the right way.
bool StreamsOf(const STARTUPINFOA* startup, std::optional<StandardStreams>& streams) {
    streams.reset();
    if (startup == nullptr || (startup->dwFlags & STARTF_USESTDHANDLES) == 0) {
        return true;
    }
    auto input = HandleTable::Instance().Get<PipeObject>(startup->hStdInput);
    auto output = HandleTable::Instance().Get<PipeObject>(startup->hStdOutput);
    auto error = HandleTable::Instance().Get<PipeObject>(startup->hStdError);
    if (!input || !output || !error || input->WriteEnd() || !output->WriteEnd() ||
        !error->WriteEnd()) {
        return false;
    }
    streams = StandardStreams{input->Fd(), output->Fd(), error->Fd()};
    return true;
}

}  // namespace

BOOL CreateProcessA(const char* /*application*/, char* commandLine, void* /*processAttributes*/,
                    void* /*threadAttributes*/, BOOL /*inherit*/, DWORD /*flags*/,
                    void* /*environment*/, const char* directory, STARTUPINFOA* startup,
                    PROCESS_INFORMATION* process) {
    std::optional<StandardStreams> streams;
    if (!StreamsOf(startup, streams)) {
        return FALSE;
    }
    return Start(nullptr, commandLine, directory, process, nullptr, streams ? &*streams : nullptr);
}

BOOL CreateProcessAsUserA(HANDLE token, const char* /*application*/, char* commandLine,
                          void* /*processAttributes*/, void* /*threadAttributes*/, BOOL /*inherit*/,
                          DWORD /*flags*/, void* /*environment*/, const char* directory,
                          STARTUPINFOA* startup, PROCESS_INFORMATION* process) {
    auto account = HandleTable::Instance().Get<TokenObject>(token);
    if (!account) {
        return FALSE;
    }
    if (process == nullptr) {
        SetLastError(EINVAL);
        return FALSE;
    }
    std::optional<StandardStreams> streams;
    if (!StreamsOf(startup, streams)) {
        return FALSE;
    }
    return PrivilegeBroker::Current().StartAs(*account, commandLine, directory, *process,
                                              streams ? &*streams : nullptr)
               ? TRUE
               : FALSE;
}

BOOL StartProgram(const TokenObject* account, char* commandLine, const char* directory,
                  PROCESS_INFORMATION& process, const StandardStreams* streams) {
    return Start(account, commandLine, directory, &process, nullptr, streams);
}

BOOL AdoptProcess(pid_t pid, PROCESS_INFORMATION& process) {
    const long fd = ::syscall(SYS_pidfd_open, pid, 0U);
    if (fd < 0) {
        return FailWithErrno();
    }
    auto object = std::make_shared<ProcessObject>(pid, UniqueFd(static_cast<int>(fd)));
    process.hProcess = HandleTable::Instance().Add(object);
    process.hThread = HandleTable::Instance().Add(object);
    process.dwProcessId = static_cast<DWORD>(pid);
    process.dwThreadId = static_cast<DWORD>(pid);
    return TRUE;
}

BOOL StartOnTerminal(HANDLE token, char* commandLine, const char* directory,
                     const ConsoleAttachment& terminal, PROCESS_INFORMATION* process) {
    auto account = HandleTable::Instance().Get<TokenObject>(token);
    if (!account) {
        return FALSE;
    }
    return Start(account.get(), commandLine, directory, process, &terminal);
}

BOOL StartOnStreams(HANDLE token, char* commandLine, const char* directory,
                    const StandardStreams& streams, PROCESS_INFORMATION* process) {
    auto account = HandleTable::Instance().Get<TokenObject>(token);
    if (!account) {
        return FALSE;
    }
    return Start(account.get(), commandLine, directory, process, nullptr, &streams);
}
