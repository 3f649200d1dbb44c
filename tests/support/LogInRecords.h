// What the system's log-in records and the kernel's login uid show, for the tests of the
// log-in session: utmpdump's records, who's and last's words, whether a login uid can be
// set here at all.
#pragma once

#include <fcntl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>
#include <string>
#include <vector>

namespace test {

// The fields of utmpdump's latest record for the terminal's line (type, pid, id, user,
// line, host, address, time), trimmed; none when there is no such record.
inline std::vector<std::string> LatestRecord(const std::string& dump, const std::string& line) {
    std::istringstream lines(dump);
    std::vector<std::string> latest;
    for (std::string text; std::getline(lines, text);) {
        std::vector<std::string> fields;
        for (std::size_t open = text.find('['); open != std::string::npos;
             open = text.find('[', open)) {
            const std::size_t close = text.find(']', open);
            if (close == std::string::npos) {
                break;
            }
            std::string field = text.substr(open + 1, close - open - 1);
            field.erase(field.find_last_not_of(' ') + 1);
            fields.push_back(field);
            open = close;
        }
        if (fields.size() == 8 && fields[4] == line) {
            latest = fields;
        }
    }
    return latest;
}

inline bool Has(const std::vector<std::string>& words, const std::string& word) {
    for (const std::string& w : words) {
        if (w == word) {
            return true;
        }
    }
    return false;
}

// Whether the kernel lets a process of this one set its login uid (it needs
// CAP_AUDIT_CONTROL in the initial user namespace, and a login uid not yet made
// immutable): a forked child tries. "yes", or why not.
inline std::string LoginUidSettable(uid_t uid) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int fd = ::open("/proc/self/loginuid", O_RDWR | O_CLOEXEC);
        const std::string text = std::to_string(uid);
        ::_exit(fd >= 0 &&
                        ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size())
                    ? 0
                    : 1);
    }
    int status = 0;
    while (pid > 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0
               ? "yes"
               : "the kernel does not let this process set its login uid";
}

}  // namespace test
