#include "monitor/MonitorPolicy.h"

#include <algorithm>
#include <cctype>

#include "base/AsciiCase.h"
#include "base/SocketAddress.h"

namespace {

bool Lists(const std::string& list, const std::string& name) {
    return AsciiLower(list).find(":" + AsciiLower(name) + ":") != std::string::npos;
}

// What runs the client's command: the account's shell (started in the account's home).
constexpr std::string_view kExecPrefix = "/bin/sh -c 'exec \"${SHELL:-/bin/sh}\" -c \"$0\"' ";

std::string Quoted(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

// The inverse of Quoted for a whole word; false when text is not exactly one such word.
bool Unquoted(std::string_view text, std::string& out) {
    out.clear();
    if (text.size() < 2 || text.front() != '\'' || text.back() != '\'') {
        return false;
    }
    std::string_view rest = text.substr(1, text.size() - 2);
    while (!rest.empty()) {
        const std::size_t quote = rest.find('\'');
        out.append(rest.substr(0, quote));
        if (quote == std::string_view::npos) {
            return true;
        }
        if (rest.substr(quote, 4) != "'\\''") {
            return false;
        }
        out.push_back('\'');
        rest.remove_prefix(quote + 4);
    }
    return true;
}

// The reason text of a refusal on one line: PAM's texts end in a line break.
std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ')) {
        text.remove_suffix(1);
    }
    return text;
}

}  // namespace

std::string MonitorPolicy::AccountName(const std::string& user, std::string& why) const {
    std::string name = user;
    why.clear();
    if (!allowedList.empty() && !Lists(allowedList, name)) {
        why = "user not in allowed list";
        name = ":" + name;
    }
    if (!forbiddenList.empty() && Lists(forbiddenList, name)) {
        why = "user in forbidden list";
        name = ":" + name;
    }
    if (!defaultDomain.empty()) {
        name += "@" + defaultDomain;
    }
    return name;
}

std::string MonitorPolicy::ShellCommandLine(const std::string& clientCommand) const {
    if (clientCommand.empty() || !execCommands) {
        return shellCommand;
    }
    return std::string(kExecPrefix) + Quoted(clientCommand);
}

bool MonitorPolicy::AllowsCommandLine(const std::string& commandLine) const {
    if (commandLine == shellCommand) {
        return true;
    }
    std::string command;
    return execCommands && commandLine.starts_with(kExecPrefix) &&
           Unquoted(std::string_view(commandLine).substr(kExecPrefix.size()), command) &&
           !command.empty() && ShellCommandLine(command) == commandLine;
}

bool MonitorPolicy::AcceptsVariables(
    const std::vector<LoginEnvironment::Variable>& variables) const {
    return LoginEnvironment::AllAccepted(acceptEnv, variables);
}

LoginEnvironment MonitorPolicy::Login(const std::string& terminal,
                                      std::vector<LoginEnvironment::Variable> variables) const {
    LoginEnvironment login;
    login.clientAddress = clientAddress;
    login.clientPort = clientPort;
    login.serverAddress = serverAddress;
    login.serverPort = serverPort;
    login.terminal = terminal;
    login.variables = std::move(variables);
    return login;
}

std::string MonitorPolicy::AcceptedLine(const std::string& account) const {
    return "login accepted: [ " + account + " ] from " +
           SocketAddress::Spoken(clientAddress, clientPort);
}

std::string MonitorPolicy::RefusedLine(const std::string& user, std::string_view reason) const {
    // The address and port let log watchers act on repeated refusals.
    return "login refused: [ " + user + " ] from " +
           SocketAddress::Spoken(clientAddress, clientPort) + " - " + std::string(Trimmed(reason));
}
