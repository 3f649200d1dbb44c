// The seam's privileged calls, behind one interface with two implementations chosen once
// at start. Without a split every call acts in this process (InProcessPrivileges, the
// default). A session run as root splits into a privileged monitor and an unprivileged
// worker; the worker selects the monitor's client (monitor/MonitorClient), and the calls
// that need root (the log-on, starting the shell as the user, Ctrl+C to the user's
// programs, the shell's status, the job, the console's terminal, the session's priority)
// become requests.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "base/UniqueFd.h"
#include "win32/StandardStreams.h"
#include "win32/Win32.h"

class CgroupJob;
class TokenObject;

class PrivilegeBroker {
  public:
    PrivilegeBroker() = default;
    PrivilegeBroker(const PrivilegeBroker&) = delete;
    PrivilegeBroker& operator=(const PrivilegeBroker&) = delete;
    virtual ~PrivilegeBroker() = default;

    // The selected implementation: the in-process one unless another was selected.
    static PrivilegeBroker& Current();
    // Selects the implementation for the rest of the process's life; once, before any
    // thread starts.
    static void Select(PrivilegeBroker& broker);

    // Each operation is false (or null) with the last-error code set when refused or
    // failed.

    // LogonUserA's check of name and password: the account's token.
    virtual std::shared_ptr<TokenObject> Logon(const std::string& user,
                                               const std::string& password) = 0;
    // CreateProcessAsUserA: the program as the token's account, on the console, or on
    // the streams when given (pipe ends of this process's).
    virtual bool StartAs(const TokenObject& account, char* commandLine, const char* directory,
                         PROCESS_INFORMATION& process, const StandardStreams* streams) = 0;
    // Ctrl+C to a process group on the console's terminal (SIGINT).
    virtual bool Interrupt(pid_t group) = 0;
    // How a process that is not this process's child ended. False while that cannot be
    // told yet (asked again later); true with how 0 when it ended with a status no one
    // can read any more, else waitid's code and status.
    virtual bool EndOfOther(pid_t pid, int& how, int& status) = 0;
    // Whether programs can be kept in a job (a group of their own).
    virtual bool HasJobs() = 0;
    // The group of a new job; null with true when the shell is kept in a group that is
    // not this process's to hold.
    virtual bool CreateJobGroup(std::shared_ptr<CgroupJob>& group) = 0;
    // Ends every process of a job (its group, as CreateJobGroup gave it).
    virtual bool EndJob(CgroupJob* group) = 0;
    // The console's pseudo-terminal, both ends close-on-exec and never this process's
    // controlling terminal, the slave's path in name. Made here without a split; with
    // one, the terminal the privileged side made, taken once.
    virtual bool TakeTerminal(UniqueFd& master, UniqueFd& slave, std::string& name) = 0;
    // This session's process into the background priority, or back
    // (ProcessPriority::Apply); EAGAIN when the system asks to try again later.
    virtual bool Background(bool on) = 0;

    // On the privileged side, while it serves a log-on: the terminal PAM is told.
    static std::string LogonTerminal();
    static void SetLogonTerminal(std::string terminal);
};
