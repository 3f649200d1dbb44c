// What /proc/<pid>/stat tells of a process: the fields after the last ")" (a process name
// may itself hold ") (").
#pragma once

#include <sys/types.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>
#include <string>

inline bool ReadProcStat(pid_t pid, long& parent, long& group, long& session) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line)) {
        return false;
    }
    const auto close = line.rfind(')');
    if (close == std::string::npos) {
        return false;
    }
    std::istringstream fields(line.substr(close + 1));
    std::string state;
    return static_cast<bool>(fields >> state >> parent >> group >> session);
}

// How a process that is not our child ended, while it is a zombie: the kernel still shows
// its wait status (field 52) to whoever may trace it. how is 0 (and status 0) when it is
// not a zombie or its status cannot be read; once reaped nothing is left to read.
inline void ZombieStatus(pid_t pid, int& how, int& status) {
    how = 0;
    status = 0;
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line)) {
        return;
    }
    const auto close = line.rfind(')');
    if (close == std::string::npos || close + 2 > line.size()) {
        return;
    }
    std::istringstream fields(line.substr(close + 2));
    std::string state;
    fields >> state;
    std::string field;
    int index = 3;  // the state is field 3
    while (index < 52 && fields >> field) {
        ++index;
    }
    if (state != "Z" || index != 52) {
        return;
    }
    const int wait = std::stoi(field);
    if (WIFEXITED(wait)) {
        how = CLD_EXITED;
        status = WEXITSTATUS(wait);
    } else if (WIFSIGNALED(wait)) {
        how = WCOREDUMP(wait) ? CLD_DUMPED : CLD_KILLED;
        status = WTERMSIG(wait);
    }
}
