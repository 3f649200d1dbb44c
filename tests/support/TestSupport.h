// Small helpers shared by the tests: temporary directories, whole-file reads and
// writes, and running a program with its output captured.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <string>

#include "base/UniqueFd.h"

namespace test {

// kill() for one process only. A pid of 0 or below would signal a process group or, as
// root, every process on the machine; a test whose lookup failed gets ESRCH instead.
inline int Signal(pid_t pid, int sig) {
    if (pid <= 0) {
        errno = ESRCH;
        return -1;
    }
    return ::kill(pid, sig);
}

// Waits, on its pidfd, for a process to end; true at once when there is no such process.
// An ended child of ours is left to be reaped by the caller.
inline bool WaitGone(pid_t pid, int seconds = 20) {
    const UniqueFd fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0U)));
    if (!fd.Valid()) {
        return errno == ESRCH;
    }
    pollfd pfd{fd.Get(), POLLIN, 0};
    return ::poll(&pfd, 1, seconds * 1000) == 1;
}

class TempDir {
  public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "zav-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        m_path = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return (m_path / name).string(); }

  private:
    std::filesystem::path m_path;
};

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string text;
    // A file of a process that ends while it is read (under /proc) fails the read, which
    // the library reports by an exception: that process's file reads as empty.
    try {
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } catch (const std::ios_base::failure&) {
        text.clear();
    }
    return text;
}

inline void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// Waits until the text of the file at path satisfies condition, looking again each time
// the file is written; false when seconds pass first. The file must exist.
inline bool WaitForFileText(const std::string& path,
                            const std::function<bool(const std::string&)>& condition,
                            int seconds = 20) {
    const UniqueFd watch(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    if (!watch.Valid() || ::inotify_add_watch(watch.Get(), path.c_str(), IN_MODIFY) < 0) {
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        if (condition(ReadFile(path))) {
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd pfd{watch.Get(), POLLIN, 0};
        if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
            return condition(ReadFile(path));
        }
        char events[4096];
        while (::read(watch.Get(), events, sizeof events) > 0) {
        }
    }
}

struct RunResult {
    int status = -1;  // exit code, or -1 when the program did not exit normally
    std::string output;
};

// Runs a shell command line and captures its standard output.
inline RunResult Run(const std::string& command) {
    RunResult result;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        result.output.append(buffer, n);
    }
    const int status = ::pclose(pipe);
    if (WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
    }
    return result;
}

// Quotes text for the shell.
inline std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

}  // namespace test
