// zavd started in the foreground in a terminal, as an administrator would: the terminal
// is its controlling terminal and its descriptors 0 to 2. No process it starts for a
// client (the session, its worker, the PROXY header reader) may keep any way to that
// terminal, yet what a session writes to its standard error still reaches zavd's output.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/UniqueFd.h"
#include "support/Loopback.h"
#include "support/TerminalCheck.h"
#include "support/TestSupport.h"
#include "support/Zavd.h"
#include "support/ZavdSettings.h"

namespace {

// The children of pid, from every thread's list.
std::vector<pid_t> Children(pid_t pid) {
    std::vector<pid_t> children;
    std::error_code error;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::istringstream ids(test::ReadFile((task.path() / "children").string()));
        for (pid_t child = 0; ids >> child;) {
            children.push_back(child);
        }
    }
    return children;
}

// Looks at /proc until found gives a process; 0 after 20 s.
pid_t WaitForProcess(const std::function<pid_t()>& found) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        if (const pid_t pid = found(); pid > 0) {
            return pid;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return 0;
}

// A child of parent other than except that has reached the state status shows.
pid_t ChildIn(pid_t parent, pid_t except, const std::string& status) {
    for (const pid_t child : Children(parent)) {
        if (child != except &&
            test::ReadFile("/proc/" + std::to_string(child) + "/status").find(status) !=
                std::string::npos) {
            return child;
        }
    }
    return 0;
}

void Send(const UniqueFd& fd, const std::string& bytes) {
    ASSERT_EQ(::write(fd.Get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

class OnATerminal : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(test::WriteZavdSettings(
            work, "telnet_init=" ZAV_CONFIG_DIR "/zav_telnet.ini\nlog_file=brisel.log\n"));
        zavd = std::make_unique<test::Zavd>(
            work.Path().string(),
            std::vector<std::string>{"--session", BRISEL_PATH, "--listen", "127.0.0.1:0,proxy",
                                     "--proxy-from", "127.0.0.1"},
            "127.0.0.1:0", 0, 0, false, test::ZavdRun{"", true, {}});
        ASSERT_GT(zavd->Port(), 0) << zavd->Output();
        // The set-up itself: zavd runs with the terminal as the administrator's shell
        // would leave it.
        const test::ProcessTerminal own = test::TerminalOf(zavd->Pid());
        ASSERT_NE(own.terminal, 0);
        ASSERT_EQ(own.terminalFds, 3) << own.fds;
        zavdSession = ::getsid(zavd->Pid());
        ASSERT_GT(zavdSession, 0);
    }
    void TearDown() override {
        if (zavd && zavd->Pid() > 0) {
            EXPECT_EQ(zavd->Stop(SIGTERM), 0) << zavd->Output();
        }
    }
    // The port of the proxy listener, from the start-up line.
    int ProxyPort() {
        const std::string& output = zavd->Output();
        const auto end = output.find(",proxy");
        const auto start = output.rfind(':', end);
        return end == std::string::npos || start == std::string::npos
                   ? 0
                   : std::atoi(output.c_str() + start + 1);
    }

    test::TempDir work;
    std::unique_ptr<test::Zavd> zavd;
    pid_t zavdSession = 0;
};

TEST_F(OnATerminal, NoSessionProcessCanReachIt) {
    UniqueFd client = test::ConnectLoopback(zavd->Port());
    // A client's version line: the session's worker is made before the SSH handshake.
    ASSERT_NO_FATAL_FAILURE(Send(client, "SSH-2.0-OpenSSH_9.2\r\n"));
    EXPECT_EQ(test::ReadLine(client.Get()).rfind("SSH-2.0-", 0), 0U);
    const pid_t session = WaitForProcess([&] { return ChildIn(zavd->Pid(), 0, "brisel"); });
    ASSERT_GT(session, 0) << zavd->Output();
    EXPECT_EQ(test::TerminalProblem(session, zavdSession), "");
    EXPECT_EQ(::getsid(session), session) << "the session leads a session of its own";
    for (const int fd : {0, 1}) {
        EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(session) + "/fd/" +
                                                std::to_string(fd))
                      .string(),
                  "/dev/null");
    }
    if (::geteuid() == 0) {
        // Its unprivileged worker, which parses what the client sends.
        const pid_t worker = WaitForProcess([&] { return ChildIn(session, 0, "NoNewPrivs:\t1"); });
        ASSERT_GT(worker, 0);
        EXPECT_EQ(test::TerminalProblem(worker, zavdSession), "");
        EXPECT_NE(::getsid(worker), zavdSession);
    }

    // The PROXY header reader, while it waits for the rest of a header.
    const int proxyPort = ProxyPort();
    ASSERT_GT(proxyPort, 0) << zavd->Output();
    UniqueFd proxied = test::ConnectLoopback(proxyPort);
    ASSERT_NO_FATAL_FAILURE(Send(proxied, "PROXY "));
    const pid_t reader =
        WaitForProcess([&] { return ChildIn(zavd->Pid(), session, "Seccomp:\t1"); });
    ASSERT_GT(reader, 0);
    EXPECT_EQ(test::TerminalProblem(reader, zavdSession), "");
    EXPECT_EQ(::getsid(reader), reader);
    proxied.Reset();
    EXPECT_NE(zavd->WaitForLine("refused, PROXY header incomplete"), "") << zavd->Output();
    client.Reset();
    EXPECT_NE(zavd->WaitForLine("session " + std::to_string(session) + ": ended"), "")
        << zavd->Output();
}

TEST_F(OnATerminal, WhatASessionWritesReachesZavdsOutput) {
    // The server's key goes (zavd checks it when it starts: it breaks after): the
    // session says so on its standard error.
    std::filesystem::remove(work / "zav_key");
    UniqueFd client = test::ConnectLoopback(zavd->Port());
    const std::string line = zavd->WaitForLine("(rsakey_file)");
    // Marked as the session's own words, with the session's address and id, and before
    // the line of its end.
    std::smatch match;
    ASSERT_TRUE(std::regex_search(
        line, match,
        std::regex("zavd: 127\\.0\\.0\\.1:[0-9]+ session ([0-9]+) wrote: brisel\\[([0-9]+)\\]: "
                   "the key-set file 'zav_key' \\(rsakey_file\\) cannot be read")))
        << line << "\n"
        << zavd->Output();
    EXPECT_EQ(match[1], match[2]);
    EXPECT_NE(zavd->WaitForLine("session " + match[1].str() + ": ended"), "") << zavd->Output();
}

}  // namespace
