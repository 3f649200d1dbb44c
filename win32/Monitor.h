// Privilege separation, as OpenSSH does it. Run as root, a session splits in two before
// it reads anything from the network: a small privileged monitor and an unprivileged
// worker (a dedicated system account, no capabilities, no new privileges, not
// dumpable) joined by a socketpair. The worker runs everything that parses bytes from
// the network or the terminal; the monitor does only what needs root, on request, and
// checks each request. Without root there is no split: one process does everything.
//
// Requests (worker to monitor), each a fixed header and length-checked fields:
//   Logon       user, password, terminal   -> the account (name, uid, gid, home, shell)
//   StartShell  command line, directory, ZAV_USER, terminal modes, the terminal (fd)
//                                          -> the shell's process id
//   Interrupt   process group              -> SIGINT to it, if it is the shell's
//   ShellStatus process id                 -> how the shell ended (waitid's code and
//                                             status; 0 while it runs), if it is the shell
//   EndJob                                 -> every process of the shell's group ended
//   Log         file name, text            -> appended (trace, log or error file)
// The monitor allows one successful log-on, at most the configured attempts, a shell
// only after a log-on, and nothing after EndJob. When the worker ends, however it ends,
// the monitor ends the shell's group and exits.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <string>
#include <string_view>

#include "win32/Win32.h"

class Monitor {
  public:
    struct Account {
        std::string name;
        uid_t uid = 0;
        gid_t gid = 0;
        std::string home;
        std::string shell;
    };

    // As root: forks; the parent serves the worker until it ends and then exits with
    // it, the child becomes the worker as the account named and returns true. Without
    // root: nothing to do, true. False (error code set) when the split cannot be made.
    // Writes the worker's log lines (in the monitor); it takes only the session's files.
    using LogWriter = void (*)(const std::string& file, std::string_view text);
    static bool Split(const char* workerAccount, unsigned maxLogons, LogWriter writer);
    static bool IsWorker();
    static bool IsMonitor();
    // In the monitor, while it serves a log-on: the worker's terminal (for PAM_TTY).
    static std::string RequestTerminal();

    // The worker's requests; false with the last-error code when refused.
    static bool Logon(const std::string& user, const std::string& password,
                      const std::string& terminal, Account& account);
    static bool StartShell(const std::string& commandLine, const std::string& directory,
                           const std::string& zavUser, const termios& modes, int terminal,
                           pid_t& pid);
    static bool Interrupt(pid_t group);
    static bool ShellStatus(pid_t pid, int& how, int& status);
    static bool EndJob();
    static void Log(const std::string& file, std::string_view text);
    // Whether the monitor keeps the shell in a group of its own (a job).
    static bool HasJobs();
};
