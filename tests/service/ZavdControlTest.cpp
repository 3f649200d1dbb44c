// zavd's control socket: who is answered, that a slow client holds nothing up, how a
// stale socket and a live one are told apart; and zavd --list and --end against a real
// zavd with a session program that speaks on its registry channel as a session does.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "base/UniqueFd.h"
#include "service/ZavdControl.h"
#include "service/ZavdOptions.h"
#include "support/Loopback.h"
#include "support/TestSupport.h"
#include "support/Zavd.h"
#include "support/ZavdSettings.h"

namespace {

UniqueFd ConnectTo(const std::string& path) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        fd.Reset();
    }
    return fd;
}

class Control : public ::testing::Test {
  protected:
    Control()
        : control(
              [this](const std::string& request) {
                  requests.push_back(request);
                  return "reply to " + request + "\n";
              },
              [this](const std::string& line) { log += line + "\n"; }) {}

    // Runs zavd's part of the loop until done() or 20 s; extra is waited on too.
    bool ServeUntil(const std::function<bool()>& done, int extra = -1) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::vector<pollfd> fds;
            if (extra >= 0) {
                fds.push_back(pollfd{extra, POLLIN, 0});
            }
            const std::size_t first = fds.size();
            int timeout = 100;  // the clients' progress is checked between passes
            control.Watch(fds, timeout);
            ::poll(fds.data(), fds.size(), timeout);
            control.Handle(fds, first);
        }
        return true;
    }
    // Reads what is there; true once the peer has closed.
    static bool ReadSome(int fd, std::string& into) {
        char buffer[256];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            into.append(buffer, static_cast<std::size_t>(n));
        }
        return n == 0;
    }

    test::TempDir dir;
    std::string path = (dir.Path() / "run" / "zavd.sock").string();
    std::vector<std::string> requests;
    std::string log;
    ZavdControl control;
};

TEST_F(Control, MakesItsDirectoryAndSocketForRootAlone) {
    std::string error;
    ASSERT_TRUE(control.Open(path, error)) << error;
    struct stat st {};
    ASSERT_EQ(::stat((dir.Path() / "run").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700U);
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600U);
    control.Close();
    EXPECT_FALSE(std::filesystem::exists(path)) << "removed on the way out";
}

TEST_F(Control, ALiveSocketIsLeftAloneAndAStaleOneReplaced) {
    std::string error;
    ASSERT_TRUE(control.Open(path, error)) << error;
    ZavdControl second([](const std::string&) { return std::string(); }, [](const std::string&) {});
    EXPECT_FALSE(second.Open(path, error));
    EXPECT_NE(error.find("another zavd answers on " + path), std::string::npos) << error;
    EXPECT_TRUE(ConnectTo(path).Valid()) << "the first one's socket is still there";

    // A socket nobody listens on any more, as a killed zavd leaves it.
    control.Close();
    {
        UniqueFd stale(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        ASSERT_EQ(::bind(stale.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    EXPECT_TRUE(second.Open(path, error)) << error;
    second.Close();

    // Anything else in its place stays.
    test::WriteFile(path, "mine");
    EXPECT_FALSE(second.Open(path, error));
    EXPECT_EQ(test::ReadFile(path), "mine");
}

TEST_F(Control, ASilentClientHoldsUpNoOther) {
    std::string error;
    ASSERT_TRUE(control.Open(path, error)) << error;
    UniqueFd silent = ConnectTo(path);
    UniqueFd asking = ConnectTo(path);
    ASSERT_TRUE(silent.Valid() && asking.Valid());
    ASSERT_EQ(::send(asking.Get(), "list\n", 5, MSG_NOSIGNAL), 5);
    std::string reply;
    ASSERT_TRUE(ServeUntil([&] { return ReadSome(asking.Get(), reply); }));
    EXPECT_EQ(reply, "reply to list\n");
    EXPECT_EQ(requests, std::vector<std::string>{"list"});
    std::string nothing;
    ASSERT_TRUE(ServeUntil([&] { return ReadSome(silent.Get(), nothing); }))
        << "closed after its time";
    EXPECT_EQ(nothing, "");
    EXPECT_NE(log.find("control: a request not completed within 2 s; closed"), std::string::npos)
        << log;
}

TEST_F(Control, APeerNotRootIsClosedWithoutAnAnswer) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root, to be somebody else";
    }
    std::string error;
    ASSERT_TRUE(control.Open(path, error)) << error;
    // Reachable for everybody, so that the check of the peer is what refuses.
    ::chmod(dir.Path().c_str(), 0755);
    ::chmod((dir.Path() / "run").c_str(), 0755);
    ::chmod(path.c_str(), 0666);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) {
            ::_exit(3);
        }
        UniqueFd fd = ConnectTo(path);
        if (!fd.Valid()) {
            ::_exit(2);
        }
        // Closed with nothing read: the request's send or the read meets the end of the
        // stream, or a reset (the request unread).
        const auto closed = [](ssize_t n) {
            return n == 0 || (n < 0 && (errno == ECONNRESET || errno == EPIPE));
        };
        const ssize_t sent = ::send(fd.Get(), "list\n", 5, MSG_NOSIGNAL);
        if (sent != 5) {
            ::_exit(closed(sent) ? 0 : 1);
        }
        char byte = 0;
        ::_exit(closed(::recv(fd.Get(), &byte, 1, 0)) ? 0 : 1);
    }
    ASSERT_GT(child, 0);
    UniqueFd ended(static_cast<int>(::syscall(SYS_pidfd_open, child, 0U)));
    const bool gone = ServeUntil(
        [&] {
            pollfd p{ended.Get(), POLLIN, 0};
            return ::poll(&p, 1, 0) == 1;
        },
        ended.Get());
    int status = -1;
    ::waitpid(child, &status, gone ? 0 : WNOHANG);
    ASSERT_TRUE(gone);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "closed without an answer: " << status;
    EXPECT_TRUE(requests.empty());
    EXPECT_NE(log.find("control: refused a connection from uid 65534 (pid " +
                       std::to_string(child) + "): only root may ask"),
              std::string::npos)
        << log;
}

TEST(ZavdOptions, ControlListAndEnd) {
    std::string error;
    ZavdOptions plain;
    ASSERT_TRUE(plain.Parse({}, error)) << error;
    EXPECT_EQ(plain.control, "/run/zav/zavd.sock");
    EXPECT_FALSE(plain.list);
    EXPECT_EQ(plain.end, 0);
    ZavdOptions list;
    ASSERT_TRUE(list.Parse({"--list", "--control", "/tmp/x.sock"}, error)) << error;
    EXPECT_TRUE(list.list);
    EXPECT_EQ(list.control, "/tmp/x.sock");
    ZavdOptions end;
    ASSERT_TRUE(end.Parse({"--end", "4711"}, error)) << error;
    EXPECT_EQ(end.end, 4711);
    for (const std::vector<std::string>& bad :
         std::vector<std::vector<std::string>>{{"--end", "0"},
                                               {"--end", "12x"},
                                               {"--end"},
                                               {"--control", "zavd.sock"},
                                               {"--list", "--end", "1"}}) {
        ZavdOptions o;
        EXPECT_FALSE(o.Parse(bad, error)) << bad[0];
    }
}

// zavd --list and --end as the administrator runs them.
class ControlCommands : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(test::WriteZavdSettings(work, "log_file=session_?pid.log\n"));
        test::WriteFile(work / "behaviour", "registry");
    }
    test::RunResult Zavd(const std::string& arguments) {
        return test::Run(std::string(ZAVD_PATH) + " " + arguments + " --control " +
                         test::Quote(socket) + " 2>&1");
    }
    test::TempDir work;
    std::string socket = (work.Path() / "control" / "zavd.sock").string();
};

TEST_F(ControlCommands, ListAndEndReachTheRunningZavd) {
    const test::RunResult missing = Zavd("--list");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.output,
              "zavd: cannot reach the running zavd at " + socket + ": No such file or directory\n");

    test::Zavd zavd(work.Path().string(),
                    {"--session", ZAV_SESSION_PROBE_PATH, "--control", socket});
    ASSERT_GT(zavd.Port(), 0) << zavd.Output();
    UniqueFd client = test::ConnectLoopback(zavd.Port(), false);
    const std::string greeting = test::ReadLine(client.Get());
    ASSERT_EQ(greeting.rfind("session ", 0), 0U) << greeting;
    const std::string pid = greeting.substr(8, greeting.find(' ', 8) - 8);
    ASSERT_NE(zavd.WaitForLine("session " + pid + ": handed over"), "");

    // The session's end of its registry channel is its descriptor 3, named on its
    // command line.
    const std::string cmdline = test::ReadFile("/proc/" + pid + "/cmdline");
    EXPECT_NE(cmdline.find(std::string("\0-registry:3\0", 13)), std::string::npos);
    struct stat st {};
    ASSERT_EQ(::stat(("/proc/" + pid + "/fd/3").c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));

    // Before the log-on, and after it.
    const std::string started =
        "20[0-9][0-9]-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:[0-5][0-9]Z";
    test::RunResult list = Zavd("--list");
    EXPECT_EQ(list.status, 0) << list.output;
    EXPECT_TRUE(std::regex_match(
        list.output,
        std::regex("PID  USER  ADDRESS  STATE  SINCE  STARTED  PROGRAM\n" + pid +
                   "  -  127\\.0\\.0\\.1:[0-9]+  logging-in  -  " + started + "  -\n")))
        << list.output;
    ASSERT_EQ(::send(client.Get(), "logon\n", 6, MSG_NOSIGNAL), 6);
    ASSERT_NE(zavd.WaitForLine("session " + pid + ": logged on as probe-user"), "");
    list = Zavd("--list");
    EXPECT_TRUE(std::regex_match(
        list.output,
        std::regex("PID  USER  ADDRESS  STATE  SINCE  STARTED  PROGRAM\n" + pid +
                   "  probe-user  127\\.0\\.0\\.1:[0-9]+  attached  -  " + started + "  -\n")))
        << list.output;

    const test::RunResult end = Zavd("--end " + pid);
    EXPECT_EQ(end.status, 0);
    EXPECT_EQ(end.output, "zavd: session " + pid + " ended\n");
    EXPECT_NE(zavd.WaitForLine("session " + pid + ": ended by zavd --end"), "");
    EXPECT_EQ(test::ReadLine(client.Get()), "logon");
    EXPECT_EQ(test::ReadLine(client.Get()), "end") << "the session was told to end";
    EXPECT_NE(zavd.WaitForLine("session " + pid + ": ended"), "");
    EXPECT_EQ(Zavd("--list").output, "PID  USER  ADDRESS  STATE  SINCE  STARTED  PROGRAM\n")
        << "its record went with it";

    const std::string stranger = std::to_string(zavd.Pid());
    const test::RunResult none = Zavd("--end " + stranger);
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.output, "zavd: no session " + stranger + "\n");

    client.Reset();
    EXPECT_EQ(zavd.Stop(), 0);
    EXPECT_FALSE(std::filesystem::exists(socket)) << "zavd removes its socket when it stops";
}

}  // namespace
