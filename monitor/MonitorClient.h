// The worker's side of the split: each privileged call becomes one request to the
// monitor, answered before the next is sent. Installed as the seam's broker, so the
// Windows-shaped calls (LogonUserA, CreateProcessAsUserA, the job, Ctrl+C) keep their
// behaviour above it.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <string>
#include <string_view>

#include "base/UniqueFd.h"
#include "monitor/MonitorWire.h"
#include "win32/PrivilegeBroker.h"

class MonitorClient {
  public:
    // Takes the worker's end of the socket, the terminal the monitor made and whether the
    // monitor keeps jobs; installs the broker. Once, in the worker.
    static void Install(UniqueFd socket, UniqueFd master, UniqueFd slave, std::string terminalName,
                        bool hasJobs);
    static bool Installed();

    static bool Logon(const std::string& user, const std::string& password,
                      PrivilegeBroker::Account& account);
    static bool StartShell(const std::string& commandLine, const termios& modes, pid_t& pid);
    static bool Interrupt(pid_t group);
    static bool ShellStatus(pid_t pid, int& how, int& status);
    static bool EndJob();
    static bool TakeTerminal(int& master, int& slave, std::string& name);
    // Whole lines for one of the session's files; never waits for an answer.
    static void Log(LineFile file, std::string_view lines);
};
