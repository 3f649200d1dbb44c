// What the monitor enforces, read from the session's settings before the split and
// never taken from the worker afterwards: who may log on (allowed and forbidden lists,
// default domain), how often (attempts), what runs (the shell command, and whether the
// client may name a command), and where the outcome is written.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "monitor/MonitorWire.h"
#include "win32/LoginEnvironment.h"

struct MonitorPolicy {
    std::string allowedList;    // ":name:name:", empty for everyone; without regard to case
    std::string forbiddenList;  // ":name:name:"
    std::string defaultDomain;  // appended as "@domain" when not empty
    unsigned maxAttempts = 1;
    std::string shellCommand;
    bool execCommands = false;
    std::string clientAddress;  // for PAM, the log-on records and the outcome lines
    std::string clientPort;
    // The connection's server end (SSH_CONNECTION, SSH_CLIENT): the listening socket's
    // address and port as the session's socket shows them.
    std::string serverAddress;
    std::string serverPort;
    // The names of the client's variables that reach the shell (accept_env), and what an
    // interactive log-on shows before its shell: the session modules' messages (the
    // message of the day) and the account's last log-in.
    std::string acceptEnv;
    bool printMotd = false;
    bool printLastLog = false;
    // zavd's registry channel (the descriptor zavd gave the session), or -1: detached
    // sessions are offered and handed over through it. Only the monitor keeps it.
    int registry = -1;

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

    // Whether the client's variables are all ones accept_env names (and well formed).
    bool AcceptsVariables(const std::vector<LoginEnvironment::Variable>& variables) const;
    // What the log-in adds to the shell's environment: the connection as this process
    // knows it, the terminal (empty: none) and the client's accepted variables.
    LoginEnvironment Login(const std::string& terminal,
                           std::vector<LoginEnvironment::Variable> variables) const;

    // The outcome lines, which only the monitor writes in a split session.
    std::string AcceptedLine(const std::string& account) const;
    std::string RefusedLine(const std::string& user, std::string_view reason) const;
};
