// A compromised worker: splits like a session (as root), then, as the unprivileged
// worker, asks the monitor for what a worker must never get and tries to reach another
// session. Prints one "step=result" line per attempt (result: ok, or the error code) and
// exits 0 when it got through all of them; the test judges the results and the log.
//
// usage: zav_hostile_worker ACCOUNTS_FILE LOG_FILE GOOD_USER FORBIDDEN_USER
//                           [VICTIM_TTY VICTIM_PID]
// Passwords come from the accounts file ("name password" lines), never the command line.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "infra/ZTraceScope.h"
#include "monitor/Monitor.h"
#include "monitor/MonitorClient.h"
#include "monitor/MonitorWire.h"
#include "win32/LoginEnvironment.h"
#include "win32/ProcessPriority.h"
#include "win32/Win32.h"

namespace {

std::string PasswordOf(const char* accounts, const std::string& user) {
    std::ifstream in(accounts);
    std::string name;
    std::string password;
    while (in >> name >> password) {
        if (name == user) {
            return password;
        }
    }
    return {};
}

void Report(const char* step, bool ok, int code) {
    if (ok) {
        std::printf("%s=ok\n", step);
    } else {
        std::printf("%s=%d\n", step, code);
    }
    std::fflush(stdout);
}

void WriteLines(LineFile /*file*/, std::string_view lines) {
    AppendToFile(LogFile(""), lines);
}

void WriteLog(std::string_view message) {
    LogLine(message);
}

void ThroughMonitor(const std::string& /*file*/, std::string_view text) {
    MonitorClient::Log(LineFile::Log, text);
}

// The worker's end of the monitor's socket, found as a compromised worker would.
int MonitorSocket() {
    for (int fd = 3; fd < 256; ++fd) {
        int domain = 0;
        socklen_t size = sizeof domain;
        if (::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &size) == 0 && domain == AF_UNIX) {
            return fd;
        }
    }
    return -1;
}

// A StartShell request with a descriptor of the worker's attached.
bool StartWithDescriptor(int socket, int passed, const std::string& commandLine, int& code) {
    StartShellRequest request{commandLine, {}, {}, {}};
    const MonitorFields fields = MonitorWire::Encode(request);
    const std::uint32_t header[2] = {static_cast<std::uint32_t>(MonitorRequest::StartShell),
                                     static_cast<std::uint32_t>(fields.Bytes().size())};
    std::string bytes(reinterpret_cast<const char*>(header), sizeof header);
    bytes += fields.Bytes();
    iovec io{bytes.data(), bytes.size()};
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&message);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &passed, sizeof(int));
    if (::sendmsg(socket, &message, MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size())) {
        code = errno;
        return false;
    }
    MonitorMessage reply;
    if (!MonitorWire::Receive(socket, reply)) {
        code = EPIPE;
        return false;
    }
    code = static_cast<int>(reply.code);
    return reply.code == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5 && argc != 7) {
        std::fprintf(stderr, "usage: %s ACCOUNTS LOG GOOD FORBIDDEN [VICTIM_TTY VICTIM_PID]\n",
                     argv[0]);
        return 2;
    }
    const std::string good = argv[3];
    const std::string forbidden = argv[4];
    LogFile(argv[2]);
    // Read while this process may: the worker cannot.
    std::string goodPassword = PasswordOf(argv[1], good);
    std::string forbiddenPassword = PasswordOf(argv[1], forbidden);
    MonitorPolicy policy;
    policy.forbiddenList = ":" + forbidden + ":";
    policy.maxAttempts = 3;
    policy.shellCommand = "sleep 30";
    policy.execCommands = false;
    policy.clientAddress = "10.0.0.1";
    policy.clientPort = "4242";
    policy.logLine = &WriteLog;
    policy.writeLines = &WriteLines;
    if (!Monitor::Split(policy) || !MonitorClient::Installed()) {
        std::fprintf(stderr, "no split: run as root\n");
        return 2;
    }
    SetTraceSink(&ThroughMonitor);
    std::printf("worker_uid=%u\n", static_cast<unsigned>(::getuid()));

    // Lines: a plain one is written; an outcome, another process's prefix and a line
    // break inside a line are not.
    LogLine("a worker line");
    LogLine("login refused: [ admin ] from 10.9.9.9 port 1 - Authentication failure");
    MonitorClient::Log(LineFile::Log, "    1 :    1 2026-12- 9 00:00:00   0 :  0:\tother pid\r\n");
    MonitorClient::Log(LineFile::Log, std::to_string(::getpid()) +
                                          " :1 x :  0:\tsplit\rlogin accepted: [ root ]\r\n");

    MonitorClient& client = MonitorClient::Instance();
    const termios modes{};
    pid_t pid = 0;
    bool ok = client.RequestShell("sleep 30", modes, pid);
    Report("shell_before_logon", ok, static_cast<int>(GetLastError()));

    // Detached sessions: nothing before a log-on (a refused one included).
    std::vector<DetachedOffer> offers;
    ok = client.RequestOffers(offers);
    Report("offers_before_logon", ok, static_cast<int>(GetLastError()));
    UniqueFd relay;
    ok = client.RequestReattach(4242, relay);
    Report("reattach_before_logon", ok, static_cast<int>(GetLastError()));
    ok = client.Background(true);
    Report("background_before_shell", ok, static_cast<int>(GetLastError()));

    MonitorClient::Account account;
    ok = client.RequestLogon(forbidden, forbiddenPassword, account);
    Report("logon_forbidden", ok, static_cast<int>(GetLastError()));
    ok = client.RequestLogon(good + std::string("\0x", 2), goodPassword, account);
    Report("logon_nul", ok, static_cast<int>(GetLastError()));
    ok = client.RequestLogon(good, goodPassword, account);
    Report("logon_good", ok, static_cast<int>(GetLastError()));
    ok = client.RequestLogon(good, goodPassword, account);
    Report("logon_again", ok, static_cast<int>(GetLastError()));

    // Logged on, without zavd: no session to offer, none to take, and a pid of init's
    // is no session's.
    ok = client.RequestOffers(offers);
    Report("offers_without_zavd", ok && offers.empty(), static_cast<int>(GetLastError()));
    ok = client.RequestReattach(1, relay);
    Report("reattach_init", ok, static_cast<int>(GetLastError()));
    ok = client.RequestReattach(4242, relay);
    Report("reattach_without_zavd", ok, static_cast<int>(GetLastError()));
    ok = client.RequestDetach();
    Report("detach_before_shell", ok, static_cast<int>(GetLastError()));

    ok = client.RequestShell("/bin/sh -c id", modes, pid);
    Report("shell_other_command", ok, static_cast<int>(GetLastError()));
    // A variable the monitor's own accept_env does not name: the start is refused whole.
    LoginEnvironment::SetRequested({{"LD_PRELOAD", "/tmp/x.so"}});
    ok = client.RequestShell("sleep 30", modes, pid);
    Report("shell_unlisted_variable", ok, static_cast<int>(GetLastError()));
    LoginEnvironment::SetRequested({});

    // A terminal of the worker's own, handed along with the request: never given away.
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char foreign[128] = {};
    ok = master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0 &&
         ::ptsname_r(master, foreign, sizeof foreign) == 0;
    Report("own_terminal", ok, errno);
    // The same terminal as all three streams of a command without one: only pipes are
    // ever given to the user's program.
    const StandardStreams notPipes{master, master, master};
    ok = client.RequestShell("sleep 30", modes, pid, &notPipes);
    Report("shell_streams_not_pipes", ok, static_cast<int>(GetLastError()));
    int code = 0;
    ok = StartWithDescriptor(MonitorSocket(), master, "sleep 30", code);
    Report("shell_with_descriptor", ok, code);
    struct stat status {};
    ::stat(foreign, &status);
    std::printf("own_terminal_owner=%u\n", static_cast<unsigned>(status.st_uid));
    UniqueFd theirs;
    UniqueFd slave;
    std::string terminal;
    if (client.TakeTerminal(theirs, slave, terminal)) {
        ::fstat(slave.Get(), &status);
        std::printf("session_terminal_owner=%u\n", static_cast<unsigned>(status.st_uid));
    }

    // Input typed into a terminal (its own, here) and tracing are refused outright.
    char byte = 'x';
    ok = ::ioctl(theirs.Get(), TIOCSTI, &byte) == 0;
    Report("tiocsti", ok, errno);
    ok = ::ptrace(PTRACE_ATTACH, ::getppid(), nullptr, nullptr) == 0;
    Report("ptrace", ok, errno);
    // Harmless calls that any process may make, unless its filter refuses them.
    ok = ::syscall(SYS_personality, 0xFFFFFFFFUL) >= 0;
    Report("personality", ok, errno);
    ok = ::syscall(SYS_keyctl, 0 /* KEYCTL_GET_KEYRING_ID */, -3 /* session */, 0) >= 0;
    Report("keyring", ok, errno);

    // The shell runs: no other session may be taken now, and without zavd none detaches.
    ok = client.RequestReattach(4242, relay);
    Report("reattach_after_shell", ok, static_cast<int>(GetLastError()));
    ok = client.RequestDetach();
    Report("detach_without_zavd", ok, static_cast<int>(GetLastError()));

    // Its own priority, at the monitor's two levels: down, and up again, which the worker
    // could not do itself (the thread is named as the one that yields).
    ::prctl(PR_SET_NAME, ProcessPriority::kYieldingThread);
    ok = client.Background(true);
    Report("background", ok && ::getpriority(PRIO_PROCESS, 0) == 19,
           ok ? 1000 + ::getpriority(PRIO_PROCESS, 0) : static_cast<int>(GetLastError()));
    ok = client.Background(false);
    Report("background_back", ok && ::getpriority(PRIO_PROCESS, 0) == 0,
           ok ? 1000 + ::getpriority(PRIO_PROCESS, 0) : static_cast<int>(GetLastError()));

    ok = client.Interrupt(1);
    Report("interrupt_init", ok, static_cast<int>(GetLastError()));
    ok = client.Interrupt(::getpgrp());
    Report("interrupt_own_group", ok, static_cast<int>(GetLastError()));

    if (argc == 7) {
        const int fd = ::open(argv[5], O_RDWR | O_NOCTTY | O_CLOEXEC);
        Report("victim_terminal", fd >= 0, errno);
        const pid_t victim = static_cast<pid_t>(std::atoi(argv[6]));
        ok = ::kill(victim, 0) == 0;
        Report("victim_signal", ok, errno);
        const std::string environ = "/proc/" + std::to_string(victim) + "/environ";
        const int env = ::open(environ.c_str(), O_RDONLY | O_CLOEXEC);
        Report("victim_proc", env >= 0, errno);
    }

    ok = client.RequestEndJob();
    Report("end_job", ok, static_cast<int>(GetLastError()));
    ok = client.RequestShell("sleep 30", modes, pid);
    Report("shell_after_end", ok, static_cast<int>(GetLastError()));
    ok = client.Background(true);
    Report("background_after_end", ok, static_cast<int>(GetLastError()));
    ::explicit_bzero(goodPassword.data(), goodPassword.size());
    ::explicit_bzero(forbiddenPassword.data(), forbiddenPassword.size());
    return 0;
}
