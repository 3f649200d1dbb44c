// The name by which one zavd marks what it leaves on the machine while it runs (its
// private directory, its cgroup): "zavd-PID-START", its process id and its start time in
// clock ticks since boot, which together name one process for as long as the machine
// runs. Several zavd may run at once; from such a name each can tell whether the zavd
// that made it still runs, and end and remove only what a zavd that is gone left.
#pragma once

#include <sys/types.h>

#include <string>

class ZavdInstance {
  public:
    static constexpr const char* kPrefix = "zavd-";

    // This process's name.
    static std::string Own();
    // Reads "zavd-PID-START" at the start of name (what follows it is not looked at);
    // false when name does not start so.
    static bool Parse(const std::string& name, pid_t& pid, unsigned long long& start);
    // Whether the process that name's start names still runs. Anything that is not
    // such a name counts as running: it is never taken for a zavd's leftover.
    static bool Running(const std::string& name);
    // The start time of process pid; false when there is no such process.
    static bool StartTime(pid_t pid, unsigned long long& start);
};
