// Tests of the console run real programs on it and wait for what they draw.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "base/UniqueFd.h"
#include "console/ConsoleFlow.h"
#include "console/ConsoleHost.h"
#include "console/WinCon.h"
#include "support/TestSupport.h"

namespace test {

inline ConsoleHost& Console() {
    return *ConsoleHost::Instance();
}

// Starts /bin/sh -c script on the console, as the shell would be started.
inline pid_t SpawnOnConsole(const std::string& script) {
    ConsoleAttachment attachment;
    Console().PrepareAttachment(attachment);
    const char* argv[] = {"/bin/sh", "-c", script.c_str(), nullptr};
    const char* envp[] = {"TERM=xterm", "LANG=C.UTF-8", "LC_ALL=C.UTF-8",
                          "PATH=/usr/local/bin:/usr/bin:/bin", nullptr};
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (ConsoleHost::AttachChild(attachment) != 0) {
            ::_exit(126);
        }
        ::execve(argv[0], const_cast<char* const*>(argv), const_cast<char* const*>(envp));
        ::_exit(127);
    }
    return pid;
}

// Waits for the program to end; false (and the program killed) when it does not in time.
inline bool WaitExit(pid_t pid, int seconds = 20, int* status = nullptr) {
    const UniqueFd fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0U)));
    pollfd pfd{fd.Get(), POLLIN, 0};
    const bool ended = fd.Valid() && ::poll(&pfd, 1, seconds * 1000) == 1;
    if (!ended) {
        test::Signal(pid, SIGKILL);
    }
    int s = 0;
    ::waitpid(pid, &s, 0);
    if (status != nullptr) {
        *status = s;
    }
    return ended;
}

inline CONSOLE_SCREEN_BUFFER_INFO Info() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info);
    return info;
}

// One buffer row's cells across the whole buffer width.
inline std::vector<CHAR_INFO> Cells(int row) {
    const CONSOLE_SCREEN_BUFFER_INFO info = Info();
    std::vector<CHAR_INFO> cells(static_cast<std::size_t>(info.dwSize.X));
    SMALL_RECT region{0, static_cast<SHORT>(row), static_cast<SHORT>(info.dwSize.X - 1),
                      static_cast<SHORT>(row)};
    ReadConsoleOutputW(GetStdHandle(STD_OUTPUT_HANDLE), cells.data(), COORD{info.dwSize.X, 1},
                       COORD{0, 0}, &region);
    return cells;
}

// A buffer row as UTF-8, trailing blanks removed; second halves of wide characters skipped.
inline std::string Text(int row) {
    std::string text;
    for (const CHAR_INFO& cell : Cells(row)) {
        if ((cell.Attributes & COMMON_LVB_TRAILING_BYTE) != 0) {
            continue;
        }
        const char32_t c = cell.UnicodeChar;
        if (c < 0x80) {
            text.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            text.push_back(static_cast<char>(0xC0 | (c >> 6)));
            text.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            text.push_back(static_cast<char>(0xE0 | (c >> 12)));
            text.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            text.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return text.erase(text.find_last_not_of(' ') + 1);
}

// A window row (0 = the window's top) as text.
inline std::string WindowText(int row) {
    return Text(Info().srWindow.Top + row);
}

// Waits until condition holds, woken by the console's change event; false on time-out.
inline bool WaitFor(const std::function<bool()>& condition, int seconds = 20) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    const int fd = Console().WakeupFd();
    for (;;) {
        if (condition()) {
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(std::min<long>(left.count(), 200))) > 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] ssize_t n = ::read(fd, &count, sizeof count);
        }
    }
}

// Waits until some buffer row reads exactly text; returns the row or -1.
inline int WaitForRow(const std::string& text, int seconds = 20) {
    int found = -1;
    WaitFor(
        [&] {
            const CONSOLE_SCREEN_BUFFER_INFO info = Info();
            for (int y = 0; y < info.dwSize.Y; ++y) {
                if (Text(y) == text) {
                    found = y;
                    return true;
                }
            }
            return false;
        },
        seconds);
    return found;
}

// The processes whose controlling terminal is the console: the programs started on it and
// whatever they started that stayed in their sessions. Zombies are left out.
inline std::vector<pid_t> ProgramsOnConsole() {
    std::vector<pid_t> programs;
    struct stat terminal {};
    if (::stat(Console().TerminalName().c_str(), &terminal) != 0) {
        return programs;
    }
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const std::string stat = ReadFile("/proc/" + name + "/stat");
        const auto end = stat.rfind(')');
        if (end == std::string::npos) {
            continue;
        }
        std::istringstream fields(stat.substr(end + 1));
        char state = 0;
        long parent = 0;
        long group = 0;
        long session = 0;
        long tty = 0;
        const pid_t pid = static_cast<pid_t>(std::stol(name));
        if (fields >> state >> parent >> group >> session >> tty && state != 'Z' &&
            static_cast<dev_t>(tty) == terminal.st_rdev && pid > 0 && pid != ::getpid()) {
            programs.push_back(pid);
        }
    }
    return programs;
}

// Ends every program on the console and waits for each to go, reaping those that are
// this process's children. Signalled through a pidfd, a process that ended meanwhile is
// never confused with a new one of the same id.
inline void EndConsolePrograms() {
    // A program may start another while it is being ended: look again until none is left.
    for (int round = 0; round < 10; ++round) {
        const std::vector<pid_t> programs = ProgramsOnConsole();
        if (programs.empty()) {
            return;
        }
        for (const pid_t pid : programs) {
            const UniqueFd fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0U)));
            if (!fd.Valid() ||
                ::syscall(SYS_pidfd_send_signal, fd.Get(), SIGKILL, nullptr, 0U) != 0) {
                continue;
            }
            pollfd pfd{fd.Get(), POLLIN, 0};
            ::poll(&pfd, 1, 10000);
            ::waitpid(pid, nullptr, WNOHANG);  // only succeeds for a child of ours
        }
    }
}

// Waits until everything written to the console so far has been applied: a marker is
// written after it, as a program would, and awaited on the screen. A terminal reset
// ahead of the marker cancels a sequence left unfinished and any mode (hidden text, the
// alternate screen) that could keep the marker from showing.
inline bool SettleConsole() {
    ConsoleAttachment attachment;
    if (!Console().PrepareAttachment(attachment) || attachment.slave < 0) {
        return false;
    }
    static unsigned serial = 0;
    const std::string marker = "zav-settled-" + std::to_string(++serial);
    const std::string bytes = "\030\033c" + marker;  // CAN, then RIS
    ::tcflow(attachment.slave, TCOON);
    pollfd pfd{attachment.slave, POLLOUT, 0};
    if (::poll(&pfd, 1, 5000) != 1 || ::write(attachment.slave, bytes.data(), bytes.size()) !=
                                          static_cast<ssize_t>(bytes.size())) {
        return false;
    }
    return WaitFor([&] { return WindowText(0) == marker; }, 10);
}

// A fresh console for the next test: no program left on it, nothing they wrote still to
// be applied, no output held back, and the console's cells, size, modes, title and
// queued input back to their defaults.
inline void FreshConsole() {
    EndConsolePrograms();
    Console().GuardScroll(-1, 0);
    Console().Reset();
    SettleConsole();
    Console().Reset();
}

}  // namespace test
