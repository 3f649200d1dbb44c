// How the seam's privileged calls are made in a process that has no privileges of its
// own. A session run as root splits into a privileged monitor and an unprivileged worker;
// the worker installs a broker, and the calls that need root (the log-on, starting the
// shell as the user, Ctrl+C to the user's programs, the shell's status, the job) ask it
// instead of acting themselves. Without a broker the calls act in this process.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <string>

struct PrivilegeBroker {
    struct Account {
        std::string name;
        uid_t uid = 0;
        gid_t gid = 0;
        std::string home;
        std::string shell;
    };

    // Each false with the last-error code set when refused or failed.
    bool (*logon)(const std::string& user, const std::string& password, Account& account);
    // The shell on the terminal the broker made, with the terminal's modes.
    bool (*startShell)(const std::string& commandLine, const termios& modes, pid_t& pid);
    bool (*interrupt)(pid_t group);
    // waitid's code and status of the shell (0, 0 while it runs).
    bool (*shellStatus)(pid_t pid, int& how, int& status);
    bool (*endJob)();
    // The console's pseudo-terminal, made by the privileged side; taken once (the
    // descriptors become the caller's). False when the broker made none.
    bool (*takeTerminal)(int& master, int& slave, std::string& name);
    // Whether the privileged side keeps the shell in a group of its own (a job).
    bool hasJobs;

    // The installed broker, or null. Installed once, before any thread starts.
    static const PrivilegeBroker* Installed();
    static void Install(const PrivilegeBroker* broker);

    // On the privileged side, while it serves a log-on: the terminal PAM is told.
    static std::string LogonTerminal();
    static void SetLogonTerminal(std::string terminal);
};
