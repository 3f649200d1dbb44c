// zavd behind a load balancer: a proxy listener takes the client's address from the PROXY
// header that an allowed source sends first, and gives it to the session and its own
// log; other sources, malformed and slow headers are refused and logged.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "base/UniqueFd.h"
#include "service/ZavdOptions.h"
#include "support/Loopback.h"
#include "support/TerminalCheck.h"
#include "support/TestSupport.h"
#include "support/Zavd.h"
#include "support/ZavdSettings.h"

namespace {

using namespace std::chrono_literals;

const std::string kSignature("\r\n\r\n\0\r\nQUIT\n", 12);

UniqueFd Connect(int port) {
    int result = -1;
    UniqueFd fd = test::ConnectLoopback(port, false, &result);
    EXPECT_EQ(result, 0);
    return fd;
}

void Send(const UniqueFd& fd, const std::string& bytes) {
    EXPECT_EQ(::send(fd.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
}

// A line from the session, or what arrived before the connection closed.
std::string ReadLine(const UniqueFd& fd, int seconds = 30) {
    return test::ReadLine(fd.Get(), seconds);
}

using test::OpenDescriptors;

// zavd's children (its main thread forks both the sessions and the header readers).
std::vector<pid_t> Children(pid_t pid) {
    std::vector<pid_t> children;
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    for (pid_t child = 0; in >> child;) {
        children.push_back(child);
    }
    return children;
}

// Waits (at most 30 s) until zavd has no child left: for each child, for its end.
bool NoChildren(pid_t pid) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (;;) {
        const std::vector<pid_t> children = Children(pid);
        if (children.empty()) {
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            return false;
        }
        const UniqueFd child(static_cast<int>(::syscall(SYS_pidfd_open, children[0], 0)));
        if (child.Valid()) {
            pollfd p{child.Get(), POLLIN, 0};
            ::poll(&p, 1, static_cast<int>(left));
        }
    }
}

std::string V1(const std::string& ip, int port) {
    return "PROXY TCP4 " + ip + " 127.0.0.1 " + std::to_string(port) + " 2222\r\n";
}

class Proxy : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(test::WriteZavdSettings(work, "log_file=session_?pid.log\n"));
        test::WriteFile(work / "behaviour", "greet");
    }
    std::unique_ptr<test::Zavd> Start(std::vector<std::string> extra = {},
                                      const std::string& from = "127.0.0.1") {
        extra.insert(extra.begin(), {"--session", ZAV_SESSION_PROBE_PATH, "--proxy-from", from});
        auto zavd = std::make_unique<test::Zavd>(work.Path().string(), extra, "127.0.0.1:0,proxy");
        EXPECT_GT(zavd->Port(), 0) << zavd->Output();
        return zavd;
    }
    test::TempDir work;
};

TEST_F(Proxy, TheSessionAndTheLogNameTheClientFromTheHeader) {
    auto zavd = Start();
    UniqueFd c = Connect(zavd->Port());
    // The header and the first bytes of the client's stream in one segment.
    Send(c, V1("203.0.113.7", 41234) + "hello\n");
    const std::string line = ReadLine(c);
    EXPECT_NE(line.find(" client=203.0.113.7:41234"), std::string::npos) << line;
    EXPECT_EQ(ReadLine(c), "hello") << "what follows the header reaches the session";
    const std::string logged = zavd->WaitForLine("203.0.113.7:41234 via 127.0.0.1:");
    EXPECT_NE(logged.find("handed over"), std::string::npos) << zavd->Output();
}

TEST_F(Proxy, AHealthCheckUsesTheConnectionsOwnAddress) {
    auto zavd = Start();
    UniqueFd c = Connect(zavd->Port());
    Send(c, kSignature + std::string("\x20\x00\x00\x00", 4));  // version 2 LOCAL
    const std::string line = ReadLine(c);
    const auto peer = line.find(" peer ");
    const auto client = line.find(" client=");
    ASSERT_NE(client, std::string::npos) << line;
    EXPECT_EQ(line.substr(peer + 6, client - peer - 6), line.substr(client + 8)) << line;
}

TEST_F(Proxy, HeadersFromOtherSourcesAreRefused) {
    auto zavd = Start({}, "10.0.0.0/8");
    UniqueFd c = Connect(zavd->Port());
    Send(c, V1("203.0.113.7", 41234));
    EXPECT_EQ(ReadLine(c), "") << "closed unserved";
    EXPECT_NE(
        zavd->WaitForLine("refused, PROXY header from a source that --proxy-from does not allow"),
        "")
        << zavd->Output();
    EXPECT_TRUE(Children(zavd->Pid()).empty());
}

TEST_F(Proxy, MalformedHeadersAreRefusedAndLogged) {
    auto zavd = Start();
    const std::size_t descriptors = OpenDescriptors(zavd->Pid());
    const std::vector<std::pair<std::string, std::string>> table = {
        {"PROXY TCP4 203.0.113.07 127.0.0.1 1 2\r\n", "version 1 address malformed"},
        {"PROXY UNKNOWN " + std::string(100, 'x') + "\r\n", "longer than 107 bytes"},
        {"SSH-2.0-OpenSSH_9.2\r\n", "not a PROXY header"},
        {kSignature + std::string("\x22\x11\x00\x00", 4), "version 2 command"},
    };
    for (const auto& [header, reason] : table) {
        UniqueFd c = Connect(zavd->Port());
        Send(c, header);
        EXPECT_EQ(ReadLine(c), "") << reason;
        const std::string logged = zavd->WaitForLine(reason);
        EXPECT_NE(logged.find("127.0.0.1:"), std::string::npos) << zavd->Output();
        EXPECT_NE(logged.find("refused, PROXY header invalid"), std::string::npos) << logged;
    }
    EXPECT_TRUE(NoChildren(zavd->Pid())) << "every reader was reaped";
    EXPECT_EQ(OpenDescriptors(zavd->Pid()), descriptors) << "no descriptor leaked";
}

TEST_F(Proxy, AHeaderThatDoesNotComeInTimeIsGivenUp) {
    auto zavd = Start();
    UniqueFd c = Connect(zavd->Port());
    const auto start = std::chrono::steady_clock::now();
    Send(c, "PROXY TCP4 ");
    EXPECT_EQ(ReadLine(c), "");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 4s);
    EXPECT_NE(zavd->WaitForLine("refused, PROXY header not received within 5 s"), "")
        << zavd->Output();
    EXPECT_TRUE(NoChildren(zavd->Pid()));
}

TEST_F(Proxy, TheHeaderIsReadByAnUnprivilegedProcess) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "zavd drops privileges only as root";
    }
    passwd entry{};
    passwd* account = nullptr;
    std::vector<char> buffer(16384);
    ::getpwnam_r("zav", &entry, buffer.data(), buffer.size(), &account);
    ASSERT_NE(account, nullptr) << "scripts/setup.sh creates the account zav";
    const std::string uid = std::to_string(account->pw_uid);
    const std::string gid = std::to_string(account->pw_gid);
    auto zavd = Start();
    UniqueFd c = Connect(zavd->Port());
    Send(c, "PROXY ");
    // The reader's last step is strict seccomp; by then it has become zav.
    std::string status;
    pid_t reader = 0;
    for (int i = 0; i < 400 && status.find("Seccomp:\t1\n") == std::string::npos; ++i) {
        ::usleep(25000);
        const std::vector<pid_t> children = Children(zavd->Pid());
        reader = children.empty() ? 0 : children[0];
        status = reader > 0 ? test::ReadFile("/proc/" + std::to_string(reader) + "/status") : "";
    }
    ASSERT_NE(status.find("Seccomp:\t1\n"), std::string::npos) << status;
    const std::string ids = "\t" + uid + "\t" + uid + "\t" + uid + "\t" + uid + "\n";
    EXPECT_NE(status.find("Uid:" + ids), std::string::npos) << status;
    EXPECT_NE(status.find("Gid:\t" + gid + "\t" + gid + "\t" + gid + "\t" + gid + "\n"),
              std::string::npos)
        << status;
    const auto groups = status.find("Groups:");
    ASSERT_NE(groups, std::string::npos);
    const std::string groupList = status.substr(groups, status.find('\n', groups) - groups);
    EXPECT_EQ(groupList.find_first_of("0123456789"), std::string::npos) << "no groups";
    EXPECT_NE(status.find("NoNewPrivs:\t1\n"), std::string::npos) << status;
    EXPECT_EQ(OpenDescriptors(reader), 5U)
        << "only the connection and the report pipe, and /dev/null as 0 to 2";
    for (const int fd : {0, 1, 2}) {
        EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(reader) + "/fd/" +
                                                std::to_string(fd))
                      .string(),
                  "/dev/null");
    }
    // It leads a session of its own, without a terminal.
    EXPECT_EQ(test::TerminalProblem(reader, ::getsid(zavd->Pid())), "");
    EXPECT_EQ(::getsid(reader), reader);
    c.Reset();
    EXPECT_NE(zavd->WaitForLine("refused, PROXY header incomplete: the connection closed"), "")
        << zavd->Output();
}

TEST_F(Proxy, ThePerAddressLimitCountsTheClientsNamedByTheHeaders) {
    auto zavd = Start({"--max-startups-per-address", "1"});
    UniqueFd first = Connect(zavd->Port());
    Send(first, V1("203.0.113.7", 1001));
    EXPECT_EQ(ReadLine(first).substr(0, 8), "session ");
    UniqueFd second = Connect(zavd->Port());
    Send(second, V1("203.0.113.7", 1002));
    EXPECT_EQ(ReadLine(second), "");
    const std::string refused = zavd->WaitForLine("203.0.113.7:1002 via 127.0.0.1:");
    EXPECT_NE(refused.find("refused, 1 sessions from this address have not logged on"),
              std::string::npos)
        << zavd->Output();
    // Another client behind the same load balancer is served.
    UniqueFd third = Connect(zavd->Port());
    Send(third, V1("203.0.113.8", 1003));
    EXPECT_EQ(ReadLine(third).substr(0, 8), "session ");
}

TEST_F(Proxy, TheSessionLogsTheClientFromTheHeader) {
    // The real session program, which ends early here for want of a key (removed once
    // zavd, which checks it at its start, runs): its first log line comes before that.
    auto zavd = std::make_unique<test::Zavd>(work.Path().string(),
                                             std::vector<std::string>{"--proxy-from", "127.0.0.1"},
                                             "127.0.0.1:0,proxy");
    ASSERT_GT(zavd->Port(), 0) << zavd->Output();
    std::filesystem::remove(work / "zav_key");
    UniqueFd c = Connect(zavd->Port());
    Send(c, V1("203.0.113.7", 41234));
    ReadLine(c);  // until the session closes the connection
    EXPECT_TRUE(NoChildren(zavd->Pid()));
    std::string log;
    for (const auto& entry : std::filesystem::directory_iterator(work.Path())) {
        if (entry.path().filename().string().rfind("session_", 0) == 0) {
            log += test::ReadFile(entry.path().string());
        }
    }
    EXPECT_NE(log.find("connected to 203.0.113.7:41234 via 127.0.0.1:"), std::string::npos) << log;
}

// Version 1 and 2 headers in front of a real SSH client.
TEST_F(Proxy, AnSshClientBehindALoadBalancer) {
    // The fixture's settings name the key-set file it made.
    test::WriteFile(work / "behaviour", "ssh");
    auto zavd = Start();
    for (const auto& [version, ip, shown] :
         {std::tuple{"v1", "203.0.113.7", "203.0.113.7:41234"},
          std::tuple{"v2", "2001:db8::7", "[2001:db8::7]:41234"}}) {
        SCOPED_TRACE(version);
        const auto result =
            test::Run("timeout 60 " + test::Quote(ZAV_PROXY_SSH_CLIENT) + " " +
                      std::to_string(zavd->Port()) + " " + version + " " + ip + " 41234 2>&1");
        EXPECT_EQ(result.status, 0) << result.output;
        EXPECT_NE(result.output.find("user=alice size=80x24 client=" + std::string(ip) + ":41234"),
                  std::string::npos)
            << result.output;
        EXPECT_NE(result.output.find("exit 0"), std::string::npos) << result.output;
        EXPECT_NE(zavd->WaitForLine(std::string(shown) + " via 127.0.0.1:"), "") << zavd->Output();
    }
}

TEST(ZavdOptions, ProxyListenersNeedTheSourcesTheyTrust) {
    ZavdOptions o;
    std::string error;
    ASSERT_TRUE(o.Parse({"--listen", "127.0.0.1:2222,proxy", "--listen", "[::1]:22", "--proxy-from",
                         "10.0.0.0/8", "--proxy-from", "2001:db8::/32"},
                        error))
        << error;
    ASSERT_EQ(o.listen.size(), 2U);
    EXPECT_TRUE(o.listen[0].proxy);
    EXPECT_EQ(o.listen[0].port, 2222);
    EXPECT_FALSE(o.listen[1].proxy);
    EXPECT_EQ(o.proxyFrom.size(), 2U);
    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {"--listen", "127.0.0.1:22,proxy"},
             {"--proxy-from", "10.0.0.0/8"},
             {"--listen", "127.0.0.1:22,proxy", "--proxy-from", "10.0.0.0/33"},
             {"--listen", "127.0.0.1:22,proxy", "--proxy-from", "lb.example"},
             {"--listen", "127.0.0.1:22,prox", "--proxy-from", "10.0.0.0/8"}}) {
        ZavdOptions q;
        error.clear();
        EXPECT_FALSE(q.Parse(bad, error)) << bad[1];
        EXPECT_FALSE(error.empty());
    }
    const auto refused = test::Run(std::string(ZAVD_PATH) + " --listen 127.0.0.1:0,proxy 2>&1");
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.output.find("needs --proxy-from"), std::string::npos) << refused.output;
    const auto help = test::Run(std::string(ZAVD_PATH) + " --help");
    EXPECT_NE(help.output.find("--proxy-from ADDR[/BITS]"), std::string::npos);
}

}  // namespace
