// A process's parent, process group and session from /proc/<pid>/stat: the fields after
// the last ")" (a process name may itself hold ") (").
#pragma once

#include <sys/types.h>

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
