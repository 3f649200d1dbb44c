// zavd started the way systemd starts a socket-activated service: its listening socket
// on descriptor 3, LISTEN_FDS=1 and LISTEN_PID naming zavd's own process id.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "base/UniqueFd.h"
#include "support/Loopback.h"
#include "support/TestSupport.h"
#include "support/ZavdSettings.h"

namespace {

// Reads fd until a line containing text has arrived (or 20 s have passed); returns all
// that was read.
std::string ReadUntil(int fd, const std::string& text) {
    std::string read;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (read.find(text) == std::string::npos ||
           read.find('\n', read.find(text)) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        pollfd p{fd, POLLIN, 0};
        char buffer[4096];
        ssize_t n = 0;
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) != 1 ||
            (n = ::read(fd, buffer, sizeof buffer)) <= 0) {
            break;
        }
        read.append(buffer, static_cast<std::size_t>(n));
    }
    return read;
}

// The strings' characters as an argv or envp array, null-terminated.
std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    pointers.reserve(strings.size() + 1);
    for (std::string& s : strings) {
        pointers.push_back(s.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

class SocketActivation : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(test::WriteZavdSettings(work, ""));
        test::WriteFile(work / "behaviour", "greet");
        listener.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        ASSERT_EQ(::bind(listener.Get(), reinterpret_cast<sockaddr*>(&a), length), 0);
        ASSERT_EQ(::listen(listener.Get(), 16), 0);
        ::getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&a), &length);
        port = ntohs(a.sin_port);
    }
    void TearDown() override {
        if (pid > 0) {
            test::Signal(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }

    // Starts zavd with the listening socket as descriptor 3, through a shell that sets
    // LISTEN_PID to its own id and then becomes zavd.
    void Start(const std::vector<std::string>& arguments) {
        std::vector<std::string> args = {"/bin/sh",
                                         "-c",
                                         "export LISTEN_PID=$$; exec \"$0\" \"$@\"",
                                         ZAVD_PATH,
                                         "--workdir",
                                         work.Path().string(),
                                         "--session",
                                         ZAV_SESSION_PROBE_PATH};
        args.insert(args.end(), arguments.begin(), arguments.end());
        std::vector<std::string> environment = {"TMPDIR=" + temporary.Path().string(),
                                                "LISTEN_FDS=1", "LISTEN_FDNAMES=zavd.socket"};
        for (char** e = environ; *e != nullptr; ++e) {
            if (std::strncmp(*e, "TMPDIR=", 7) != 0 && std::strncmp(*e, "LISTEN_", 7) != 0) {
                environment.emplace_back(*e);
            }
        }
        std::vector<char*> argv = Pointers(args);
        std::vector<char*> envp = Pointers(environment);
        int err[2];
        ASSERT_EQ(::pipe2(err, O_CLOEXEC), 0);
        pid = ::fork();
        if (pid == 0) {
            ::dup2(err[1], 2);
            // dup2 gives a descriptor without close-on-exec, except onto itself.
            if (listener.Get() == 3 ? ::fcntl(3, F_SETFD, 0) != 0
                                    : ::dup2(listener.Get(), 3) != 3) {
                ::_exit(126);
            }
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
        ::close(err[1]);
        output.Reset(err[0]);
    }

    // Sends SIGTERM and returns zavd's exit status (-1: it did not exit within 30 s).
    int Stop() {
        if (pid <= 0) {
            return -1;  // zavd never started: kill(-1) would reach every process
        }
        UniqueFd process(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0U)));
        test::Signal(pid, SIGTERM);
        pollfd fds[2] = {{process.Get(), POLLIN, 0}, {output.Get(), POLLIN, 0}};
        nfds_t watched = 2;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline) {
            // Its standard error is read meanwhile, so that zavd never waits to write.
            if (::poll(fds, watched, 100) > 0 && (fds[0].revents & POLLIN) != 0) {
                int status = 0;
                ::waitpid(pid, &status, 0);
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            char buffer[4096];
            if (watched == 2 && (fds[1].revents & (POLLIN | POLLHUP)) != 0 &&
                ::read(output.Get(), buffer, sizeof buffer) <= 0) {
                watched = 1;
            }
        }
        return -1;
    }

    UniqueFd Connect() const {
        int result = -1;
        UniqueFd fd = test::ConnectLoopback(port, false, &result);
        EXPECT_EQ(result, 0);
        return fd;
    }

    test::TempDir work;
    test::TempDir temporary;  // zavd's private directory goes here
    UniqueFd listener;
    int port = 0;
    pid_t pid = -1;
    UniqueFd output;  // zavd's standard error
};

TEST_F(SocketActivation, ZavdServesThePassedSocketAndKeepsItFromTheSessions) {
    Start({});
    const std::string started = ReadUntil(output.Get(), "listening on");
    EXPECT_NE(started.find("listening on 127.0.0.1:" + std::to_string(port) + ";"),
              std::string::npos)
        << started;
    struct stat info {};
    ASSERT_EQ(::fstat(listener.Get(), &info), 0);
    const std::string passed = "socket:[" + std::to_string(info.st_ino) + "]";
    UniqueFd client = Connect();
    const std::string greeting = ReadUntil(client.Get(), "\n");
    ASSERT_EQ(greeting.substr(0, 8), "session ") << greeting;
    const std::string session = greeting.substr(8, greeting.find(' ', 8) - 8);

    // The session has neither the listening socket nor the variables that passed it.
    const std::string proc = "/proc/" + session;
    const std::string environment = test::ReadFile(proc + "/environ");
    EXPECT_NE(environment.find("TMPDIR="), std::string::npos) << "the environment was read";
    EXPECT_EQ(environment.find("LISTEN_"), std::string::npos);
    std::error_code error;
    std::size_t descriptors = 0;
    for (const auto& fd : std::filesystem::directory_iterator(proc + "/fd", error)) {
        ++descriptors;
        EXPECT_NE(std::filesystem::read_symlink(fd.path(), error).string(), passed) << fd.path();
    }
    EXPECT_GT(descriptors, 0U) << "the session's descriptors were read";

    EXPECT_EQ(Stop(), 0);
    EXPECT_EQ(ReadUntil(client.Get(), "\n"), "ZAV service stopped\n");
}

TEST_F(SocketActivation, ASocketPassedBesideListenIsNotServed) {
    Start({"--listen", "127.0.0.1:0"});
    const std::string started = ReadUntil(output.Get(), "listening on");
    EXPECT_NE(started.find("--listen is given, so the 1 socket(s) passed by systemd are closed"),
              std::string::npos)
        << started;
    EXPECT_EQ(started.find("listening on 127.0.0.1:" + std::to_string(port) + ";"),
              std::string::npos)
        << started;
    EXPECT_EQ(Stop(), 0);
}

}  // namespace
