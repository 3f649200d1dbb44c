#include "service/ZavdInstance.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <sstream>

#include "base/UniqueFd.h"

std::string ZavdInstance::Own() {
    unsigned long long start = 0;
    StartTime(::getpid(), start);
    return kPrefix + std::to_string(::getpid()) + "-" + std::to_string(start);
}

bool ZavdInstance::Parse(const std::string& name, pid_t& pid, unsigned long long& start) {
    const std::size_t prefix = std::strlen(kPrefix);
    if (name.compare(0, prefix, kPrefix) != 0) {
        return false;
    }
    const char* end = name.data() + name.size();
    long long id = 0;
    auto [afterPid, pidError] = std::from_chars(name.data() + prefix, end, id);
    if (pidError != std::errc() || afterPid == end || *afterPid != '-' || id <= 0 ||
        id > 0x7FFFFFFF) {
        return false;
    }
    auto [afterStart, startError] = std::from_chars(afterPid + 1, end, start);
    if (startError != std::errc() || afterStart == afterPid + 1 ||
        (afterStart != end && *afterStart != '-')) {
        return false;
    }
    pid = static_cast<pid_t>(id);
    return true;
}

bool ZavdInstance::Running(const std::string& name) {
    pid_t pid = 0;
    unsigned long long start = 0;
    if (!Parse(name, pid, start)) {
        return true;
    }
    unsigned long long now = 0;
    if (StartTime(pid, now)) {
        return now == start;
    }
    // Only a process that surely is not there has gone (not one hidden from this one).
    return errno != ENOENT && errno != ESRCH;
}

bool ZavdInstance::StartTime(pid_t pid, unsigned long long& start) {
    const UniqueFd fd(
        ::open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) {
        return false;
    }
    char buffer[1024];
    const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
    if (n <= 0) {
        errno = n == 0 ? ESRCH : errno;  // read as it ended
        return false;
    }
    const std::string line(buffer, static_cast<std::size_t>(n));
    // The fields after the name, which may itself hold ") ": the start time is the
    // 20th of them (field 22 of the whole line).
    const auto close = line.rfind(')');
    errno = EINVAL;  // not a stat line this can read
    if (close == std::string::npos) {
        return false;
    }
    std::istringstream fields(line.substr(close + 1));
    std::string field;
    for (int i = 0; i < 19; ++i) {
        if (!(fields >> field)) {
            return false;
        }
    }
    return static_cast<bool>(fields >> start);
}
