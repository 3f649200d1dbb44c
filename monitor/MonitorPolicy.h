// What the monitor enforces, read from the session's settings before the split and
// never taken from the worker afterwards: who may log on (allowed and forbidden lists,
// default domain), how often (attempts), what runs (the shell command, and whether the
// client may name a command), and where the outcome is written.
#pragma once

#include <string>
#include <string_view>

#include "monitor/MonitorWire.h"

struct MonitorPolicy {
    std::string allowedList;    // ":name:name:", empty for everyone; without regard to case
    std::string forbiddenList;  // ":name:name:"
    std::string defaultDomain;  // appended as "@domain" when not empty
    unsigned maxAttempts = 1;
    std::string shellCommand;
    bool execCommands = false;
    std::string clientAddress;  // for PAM, the log-on records and the outcome lines
    std::string clientPort;

    // The monitor is a copy of the session process, with its files: lines it writes
    // itself (with its own prefix), and whole lines of the worker's it has checked.
    void (*logLine)(std::string_view message) = nullptr;
    void (*writeLines)(LineFile file, std::string_view lines) = nullptr;

    // The account name the log-on is tried with: a name the lists refuse gets a leading
    // ':' that no account has, so it fails exactly like a wrong password (with PAM's
    // delay); why is set to the list's reason then.
    std::string AccountName(const std::string& user, std::string& why) const;

    // The command line the shell is started with: the configured shell, or with
    // execCommands the client's command handed to the account's shell as one quoted
    // argument, so that no byte of it is read by any other shell.
    std::string ShellCommandLine(const std::string& clientCommand) const;
    // Whether a command line is one ShellCommandLine gives for some client command.
    bool AllowsCommandLine(const std::string& commandLine) const;

    // The outcome lines, which only the monitor writes in a split session.
    std::string AcceptedLine(const std::string& account) const;
    std::string RefusedLine(const std::string& user, std::string_view reason) const;
};
