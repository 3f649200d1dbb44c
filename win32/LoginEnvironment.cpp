#include "win32/LoginEnvironment.h"

#include <algorithm>
#include <array>

namespace {

// A glob of '*' and '?' against the whole of text, without backtracking beyond the last
// star (linear in practice, never recursive).
bool Glob(std::string_view pattern, std::string_view text) {
    std::size_t p = 0;
    std::size_t t = 0;
    std::size_t star = std::string_view::npos;
    std::size_t resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
            ++p;
            ++t;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = t;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') {
        ++p;
    }
    return p == pattern.size();
}

// The names the log-in sets itself: a client's variable never replaces them.
bool OwnName(std::string_view name) {
    static constexpr std::array<std::string_view, 7> kOwn = {"HOME", "USER", "LOGNAME", "SHELL",
                                                             "PATH", "MAIL", "TERM"};
    return std::find(kOwn.begin(), kOwn.end(), name) != kOwn.end() || name.starts_with("ZAV_") ||
           name.starts_with("SSH_");
}

std::vector<LoginEnvironment::Variable>& RequestedList() {
    static std::vector<LoginEnvironment::Variable> list;
    return list;
}

}  // namespace

bool LoginEnvironment::Accepts(std::string_view patterns, std::string_view name) {
    while (!patterns.empty()) {
        const std::size_t start = patterns.find_first_not_of(" \t");
        if (start == std::string_view::npos) {
            break;
        }
        patterns.remove_prefix(start);
        const std::size_t end = std::min(patterns.find_first_of(" \t"), patterns.size());
        if (Glob(patterns.substr(0, end), name)) {
            return true;
        }
        patterns.remove_prefix(end);
    }
    return false;
}

bool LoginEnvironment::WellFormed(std::string_view name, std::string_view value) {
    return !name.empty() && name.size() <= kMaxName && name.find('=') == name.npos &&
           name.find('\0') == name.npos && value.size() <= kMaxValue &&
           value.find('\0') == value.npos;
}

bool LoginEnvironment::AllAccepted(std::string_view patterns,
                                   const std::vector<Variable>& variables) {
    return variables.size() <= kMaxVariables && Bytes(variables) <= kMaxBytes &&
           std::all_of(variables.begin(), variables.end(), [&](const Variable& v) {
               return WellFormed(v.name, v.value) && Accepts(patterns, v.name);
           });
}

std::size_t LoginEnvironment::Bytes(const std::vector<Variable>& variables) {
    std::size_t bytes = 0;
    for (const Variable& v : variables) {
        bytes += v.name.size() + v.value.size();
    }
    return bytes;
}

void LoginEnvironment::SetRequested(std::vector<Variable> variables) {
    RequestedList() = std::move(variables);
}

const std::vector<LoginEnvironment::Variable>& LoginEnvironment::Requested() {
    return RequestedList();
}

void LoginEnvironment::Set(std::vector<std::string>& environment, std::string_view name,
                           std::string_view value) {
    std::string entry(name);
    entry += '=';
    const std::size_t prefix = entry.size();
    entry += value;
    for (std::string& e : environment) {
        if (e.compare(0, prefix, entry, 0, prefix) == 0) {
            e = std::move(entry);
            return;
        }
    }
    environment.push_back(std::move(entry));
}

void LoginEnvironment::ApplyTo(std::vector<std::string>& environment) const {
    for (const Variable& v : variables) {
        if (WellFormed(v.name, v.value) && !OwnName(v.name)) {
            Set(environment, v.name, v.value);
        }
    }
    if (!clientAddress.empty()) {
        // sshd's forms: "client_ip client_port server_port" and
        // "client_ip client_port server_ip server_port".
        Set(environment, "SSH_CLIENT", clientAddress + " " + clientPort + " " + serverPort);
        Set(environment, "SSH_CONNECTION",
            clientAddress + " " + clientPort + " " + serverAddress + " " + serverPort);
    }
    if (!terminal.empty()) {
        Set(environment, "SSH_TTY", terminal);
    }
}
