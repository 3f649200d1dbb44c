// Runs zavd for a test: in a work directory of the test's own, with a session program,
// listening on a free loopback port; its standard error is collected line by line.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace test {

// How zavd runs beyond its arguments, for the tests that need more.
struct ZavdRun {
    // Its TMPDIR (where it makes its private directory); by default one of the
    // helper's own, which goes with it.
    std::string temporary;
    // Descriptors 0 to 2 on a pseudo-terminal that is zavd's controlling terminal, as
    // when it is started in the foreground in a terminal; its output is read from the
    // terminal.
    bool terminal = false;
    // A command zavd is started through (its path in full, and its arguments), which then
    // runs zavd's command line in the same process (exec), e.g. in a mount namespace of
    // its own; none by default.
    std::vector<std::string> wrapper;
    // The zavd program; by default the build's.
    std::string program = ZAVD_PATH;
};

class Zavd {
  public:
    // Starts zavd with arguments (beyond --listen and --workdir) in workdir.
    // With a uid other than 0 it runs as that account (uid and gid, no other groups).
    // With journal, its standard error is announced as the journal's stream, as systemd
    // does for a service.
    Zavd(const std::string& workdir, const std::vector<std::string>& arguments,
         const std::string& listen = "127.0.0.1:0", uid_t uid = 0, gid_t gid = 0,
         bool journal = false, const ZavdRun& run = {}) {
        int err[2] = {-1, -1};
        std::string terminal;
        if (run.terminal) {
            err[0] = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
            char name[64] = {};
            if (err[0] < 0 || ::grantpt(err[0]) != 0 || ::unlockpt(err[0]) != 0 ||
                ::ptsname_r(err[0], name, sizeof name) != 0) {
                return;
            }
            terminal = name;
        } else if (::pipe2(err, O_CLOEXEC) != 0) {
            return;
        }
        std::vector<std::string> args = run.wrapper;
        args.insert(args.end(), {run.program, "--listen", listen, "--workdir", workdir});
        args.insert(args.end(), arguments.begin(), arguments.end());
        // Its control socket in the helper's directory too, unless the test names one:
        // tests never meet at the system's.
        if (std::find(arguments.begin(), arguments.end(), "--control") == arguments.end()) {
            args.insert(args.end(), {"--control", (m_temporary.Path() / "zavd.sock").string()});
        }
        // zavd's private directory goes into one of the test's own, so that it goes with
        // the test also when zavd is killed and cannot remove it itself.
        if (uid != 0 && ::chown(m_temporary.Path().c_str(), uid, gid) != 0) {
            return;
        }
        std::vector<std::string> environment = {
            "TMPDIR=" + (run.temporary.empty() ? m_temporary.Path().string() : run.temporary)};
        struct stat stream {};
        if (journal && !run.terminal && ::fstat(err[1], &stream) == 0) {
            environment.push_back("JOURNAL_STREAM=" + std::to_string(stream.st_dev) + ":" +
                                  std::to_string(stream.st_ino));
        }
        for (char** e = environ; *e != nullptr; ++e) {
            if (std::strncmp(*e, "TMPDIR=", 7) != 0 &&
                std::strncmp(*e, "JOURNAL_STREAM=", 15) != 0) {
                environment.emplace_back(*e);
            }
        }
        std::vector<char*> envp;
        for (std::string& e : environment) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);
        m_pid = ::fork();
        if (m_pid == 0) {
            if (run.terminal) {
                // A session of its own, whose controlling terminal the slave becomes when
                // it is opened; output as written, without CR added before LF.
                const int slave = ::setsid() < 0 ? -1 : ::open(terminal.c_str(), O_RDWR);
                termios modes{};
                if (slave < 0 || ::tcgetattr(slave, &modes) != 0) {
                    ::_exit(125);
                }
                modes.c_oflag &= ~static_cast<tcflag_t>(OPOST);
                ::tcsetattr(slave, TCSANOW, &modes);
                ::dup2(slave, 0);
                ::dup2(slave, 1);
                ::dup2(slave, 2);
                if (slave > 2) {
                    ::close(slave);
                }
            } else {
                ::dup2(err[1], 2);
            }
            if (uid != 0 &&
                (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)) {
                ::_exit(126);
            }
            std::vector<char*> argv;
            for (std::string& a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
        if (err[1] >= 0) {
            ::close(err[1]);
        }
        m_stderr = err[0];
        // The first line names the port it listens on.
        const std::string line = WaitForLine("listening on", 20);
        const auto at = line.find("listening on ");
        if (at != std::string::npos) {
            const auto colon = line.find(
                ':', line.find(']', at) != std::string::npos ? line.find(']', at) : at + 13);
            m_port = std::atoi(line.c_str() + colon + 1);
        }
    }
    ~Zavd() {
        // Stopped in order, so it removes its private directory; killed if it will not.
        if (m_pid > 0 && Stop(SIGTERM, 10) < 0 && m_pid > 0) {
            test::Signal(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        EndSessions();
        if (m_stderr >= 0) {
            ::close(m_stderr);
        }
    }
    Zavd(const Zavd&) = delete;
    Zavd& operator=(const Zavd&) = delete;

    pid_t Pid() const { return m_pid; }
    int Port() const { return m_port; }

    // Everything zavd wrote to standard error so far.
    const std::string& Output() {
        Drain(0);
        return m_output;
    }

    // Waits for a line containing text (after any line already seen); returns it or "".
    std::string WaitForLine(const std::string& text, int seconds = 20) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        for (;;) {
            const auto at = m_output.find(text, m_searched);
            if (at != std::string::npos) {
                const auto start = m_output.rfind('\n', at);
                const auto end = m_output.find('\n', at);
                if (end != std::string::npos) {
                    m_searched = end + 1;
                    const std::size_t begin = start == std::string::npos ? 0 : start + 1;
                    return m_output.substr(begin, end - begin);
                }
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0 || !Drain(static_cast<int>(left))) {
                return {};
            }
        }
    }

    // Waits until everything zavd wrote so far satisfies condition, reading as it writes;
    // false when seconds pass first or zavd's output ends without it.
    bool WaitForOutput(const std::function<bool(const std::string&)>& condition, int seconds = 20) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (!condition(m_output)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0 || !Drain(static_cast<int>(left))) {
                return condition(m_output);
            }
        }
        return true;
    }

    // Sends sig and waits for zavd to end; its exit status, or -1.
    int Stop(int sig = SIGTERM, int seconds = 30) {
        if (m_pid <= 0) {
            return -1;  // never started or already stopped: a signal to -1 would reach every
                        // process
        }
        const int ended = static_cast<int>(::syscall(SYS_pidfd_open, m_pid, 0U));
        WatchSessions();
        test::Signal(m_pid, sig);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        bool gone = ended < 0;  // without a pidfd, waitpid below decides
        bool reading = m_stderr >= 0;
        while (!gone) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0) {
                break;
            }
            // Standard error is read meanwhile, so that zavd never blocks on it.
            pollfd p[2] = {{ended, POLLIN, 0}, {m_stderr, POLLIN, 0}};
            if (::poll(p, reading ? 2 : 1, static_cast<int>(left)) < 0 && errno != EINTR) {
                break;
            }
            gone = (p[0].revents & POLLIN) != 0;
            if (reading && (p[1].revents & (POLLIN | POLLHUP)) != 0) {
                reading = Drain(0);
            }
        }
        if (ended >= 0) {
            ::close(ended);
        }
        int status = 0;
        if (::waitpid(m_pid, &status, gone ? 0 : WNOHANG) != m_pid) {
            return -1;
        }
        m_pid = -1;
        Drain(0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

  private:
    // Takes a pidfd for each child of zavd (its sessions), while they are still its
    // children and their ids cannot name another process.
    void WatchSessions() {
        const std::string tasks = "/proc/" + std::to_string(m_pid) + "/task";
        std::error_code error;
        for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
            std::istringstream children(ReadFile(task.path().string() + "/children"));
            pid_t child = 0;
            while (children >> child) {
                UniqueFd fd(static_cast<int>(::syscall(SYS_pidfd_open, child, 0U)));
                const std::string stat = ReadFile("/proc/" + std::to_string(child) + "/stat");
                const auto end = stat.rfind(')');
                std::istringstream fields(end == std::string::npos ? "" : stat.substr(end + 1));
                char state = 0;
                pid_t parent = 0;
                if (fd.Valid() && fields >> state >> parent && parent == m_pid) {
                    m_sessions.push_back(std::move(fd));
                }
            }
        }
    }

    // The sessions end on their own once zavd has (they watch it) or their client has
    // gone. Each is awaited, so that none writes into the work directory while the test
    // removes it; one that has not ended in time is killed.
    void EndSessions() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (const UniqueFd& session : m_sessions) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            pollfd p{session.Get(), POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(std::max<long>(left, 0))) == 1) {
                continue;
            }
            ::syscall(SYS_pidfd_send_signal, session.Get(), SIGKILL, nullptr, 0U);
            ::poll(&p, 1, 10000);
        }
        m_sessions.clear();
    }

    // Reads what is there, waiting up to milliseconds for something; false at the end.
    bool Drain(int milliseconds) {
        pollfd p{m_stderr, POLLIN, 0};
        if (::poll(&p, 1, milliseconds) <= 0) {
            return true;  // nothing yet; the caller watches its deadline
        }
        char buffer[4096];
        const ssize_t n = ::read(m_stderr, buffer, sizeof buffer);
        if (n <= 0) {
            return false;
        }
        m_output.append(buffer, static_cast<std::size_t>(n));
        return true;
    }

    TempDir m_temporary;  // first member: it outlives zavd
    pid_t m_pid = -1;
    int m_stderr = -1;
    int m_port = 0;
    std::string m_output;
    std::size_t m_searched = 0;
    std::vector<UniqueFd> m_sessions;  // zavd's sessions when it was stopped
};

}  // namespace test
