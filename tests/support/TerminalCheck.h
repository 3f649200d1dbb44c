// Whether a process can reach a terminal: its controlling terminal (tty_nr in
// /proc/PID/stat; without one, open("/dev/tty") fails and TIOCSTI has nothing to push
// into), its session, and its descriptors 0 to 2.
#pragma once

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <sstream>
#include <string>

#include "support/TestSupport.h"

namespace test {

struct ProcessTerminal {
    bool read = false;  // the process was there to be looked at
    long session = -1;
    long terminal = -1;   // tty_nr: 0 for none
    int terminalFds = 0;  // how many of descriptors 0 to 2 are terminals
    std::string fds;      // where 0 to 2 lead, for messages
};

inline ProcessTerminal TerminalOf(pid_t pid) {
    ProcessTerminal result;
    const std::string proc = "/proc/" + std::to_string(pid);
    const std::string stat = ReadFile(proc + "/stat");
    const auto close = stat.rfind(')');
    if (close == std::string::npos) {
        return result;
    }
    std::istringstream fields(stat.substr(close + 1));
    std::string state;
    long parent = 0;
    long group = 0;
    result.read =
        static_cast<bool>(fields >> state >> parent >> group >> result.session >> result.terminal);
    for (int fd = 0; fd < 3; ++fd) {
        const std::string path = proc + "/fd/" + std::to_string(fd);
        char target[256] = {};
        const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
        result.fds += std::to_string(fd) + "=" + (n > 0 ? target : "closed") + " ";
        // Opened again through /proc (never as a controlling terminal) to ask the
        // device itself; sockets cannot be opened so, and are no terminals.
        const UniqueFd copy(::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        result.terminalFds += copy.Valid() && ::isatty(copy.Get()) ? 1 : 0;
    }
    return result;
}

// "" when pid has no controlling terminal, is in a session other than notSession's
// (zavd's), and none of its descriptors 0 to 2 is a terminal; else what is wrong.
inline std::string TerminalProblem(pid_t pid, pid_t notSession) {
    const ProcessTerminal t = TerminalOf(pid);
    if (!t.read) {
        return "process " + std::to_string(pid) + " is gone";
    }
    std::string problem;
    if (t.terminal != 0) {
        problem += "controlling terminal " + std::to_string(t.terminal) + "; ";
    }
    if (t.session == notSession) {
        problem += "in the session " + std::to_string(t.session) + "; ";
    }
    if (t.terminalFds != 0) {
        problem += "terminals among " + t.fds + "; ";
    }
    return problem.empty() ? "" : "process " + std::to_string(pid) + ": " + problem;
}

}  // namespace test
