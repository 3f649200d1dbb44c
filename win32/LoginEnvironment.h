// What a log-in adds to the shell's environment beyond the account's own variables, as
// OpenSSH's sshd adds it: the connection (SSH_CLIENT, SSH_CONNECTION), the terminal
// (SSH_TTY, only with one) and the variables the client sent in "env" requests whose
// names the accept_env setting lists (sshd's AcceptEnv).
//
// The client's variables are outside bytes: each is checked here (a name without '=' or
// NUL, a value without NUL, both bounded, a bounded count) wherever it is taken, by the
// side that reads it from the client and again by the privileged side that starts the
// shell, which also matches every name against its own reading of accept_env.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

class LoginEnvironment {
  public:
    struct Variable {
        std::string name;
        std::string value;
        bool operator==(const Variable&) const = default;
    };
    // sshd ignores env requests beyond 128; fewer are plenty for a locale's variables.
    static constexpr std::size_t kMaxVariables = 64;
    static constexpr std::size_t kMaxName = 256;
    static constexpr std::size_t kMaxValue = 4096;
    // All names and values together, so that the list fits one request to the monitor.
    static constexpr std::size_t kMaxBytes = 16384;

    // Whether name matches one of the space-separated patterns, each a shell glob of '*'
    // (any run of characters) and '?' (any one character), as sshd's AcceptEnv matches.
    static bool Accepts(std::string_view patterns, std::string_view name);
    // Whether a variable may be passed on at all: a name of 1..kMaxName bytes without '='
    // or NUL, a value of at most kMaxValue bytes without NUL.
    static bool WellFormed(std::string_view name, std::string_view value);
    // Whether every variable of the list is well formed and accepted, and there are at
    // most kMaxVariables of them, of at most kMaxBytes.
    static bool AllAccepted(std::string_view patterns, const std::vector<Variable>& variables);
    // The bytes of the variables' names and values.
    static std::size_t Bytes(const std::vector<Variable>& variables);

    // The client's requests as the session took them (already checked and matched), kept
    // for the shell's start. One list per process.
    static void SetRequested(std::vector<Variable> variables);
    static const std::vector<Variable>& Requested();

    std::string clientAddress;
    std::string clientPort;
    std::string serverAddress;
    std::string serverPort;
    std::string terminal;  // the terminal's path, /dev/pts/N; empty without one
    std::vector<Variable> variables;

    // Sets the variables into environment (NAME=value strings): the client's first, where
    // they name nothing the log-in sets itself (the account's HOME, USER, LOGNAME, SHELL,
    // PATH, MAIL, the terminal's TERM, the session's ZAV_* and the SSH_* below), so they
    // win over what the session modules set (pam_env), then SSH_CLIENT, SSH_CONNECTION and
    // SSH_TTY.
    void ApplyTo(std::vector<std::string>& environment) const;
    // NAME=value set into environment, replacing an earlier NAME.
    static void Set(std::vector<std::string>& environment, std::string_view name,
                    std::string_view value);
};
