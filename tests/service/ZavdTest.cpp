// zavd with a small session program: many connections at once, sessions that crash or
// hang in the hand-off, the session limit, stopping, IPv6 and the key-set file.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "base/UniqueFd.h"
#include "service/ZavdOptions.h"
#include "support/Loopback.h"
#include "support/TestSupport.h"
#include "support/Zavd.h"
#include "support/ZavdSettings.h"
#include "transport/ZSsh.h"

namespace {

using test::OpenDescriptors;
using test::ReadLine;

UniqueFd Connect(int port, bool v6 = false) {
    return test::ConnectLoopback(port, v6);
}

// A connection from a client port chosen beforehand, for which the session program
// behaves as told (decided before the session can start).
UniqueFd ConnectAs(const test::TempDir& work, int port, const std::string& behaviour) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), length);
    ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&a), &length);
    test::WriteFile(work / ("behaviour." + std::to_string(ntohs(a.sin_port))), behaviour);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    return fd;
}

// The children of pid, from every thread's list.
std::vector<pid_t> Children(pid_t pid) {
    std::vector<pid_t> children;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = ::opendir(tasks.c_str());
    while (dir != nullptr) {
        const dirent* entry = ::readdir(dir);
        if (entry == nullptr) {
            break;
        }
        std::ifstream in(tasks + "/" + entry->d_name + "/children");
        pid_t child = 0;
        while (in >> child) {
            children.push_back(child);
        }
    }
    if (dir != nullptr) {
        ::closedir(dir);
    }
    return children;
}

// Polls until zavd has no child left (every session ended and was reaped).
bool NoChildren(pid_t pid, int seconds = 30) {
    for (int i = 0; i < seconds * 20; ++i) {
        if (Children(pid).empty()) {
            return true;
        }
        ::usleep(50000);
    }
    return false;
}

class Service : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(test::WriteZavdSettings(work, "log_file=session_?pid.log\n"));
        Behave("greet");
    }
    void Behave(const std::string& behaviour) { test::WriteFile(work / "behaviour", behaviour); }
    std::unique_ptr<test::Zavd> Start(std::vector<std::string> extra = {},
                                      const std::string& listen = "127.0.0.1:0") {
        extra.insert(extra.begin(), {"--session", ZAV_SESSION_PROBE_PATH});
        auto zavd = std::make_unique<test::Zavd>(work.Path().string(), extra, listen);
        EXPECT_GT(zavd->Port(), 0) << zavd->Output();
        return zavd;
    }
    test::TempDir work;
};

TEST_F(Service, FiftyConnectionsAtOnceAreAllServed) {
    // All from one address, and none logs on: the per-address limit is raised for them.
    auto zavd = Start({"--max-startups-per-address", "50"});
    const std::size_t descriptors = OpenDescriptors(zavd->Pid());
    std::vector<UniqueFd> clients;
    for (int i = 0; i < 50; ++i) {
        clients.push_back(Connect(zavd->Port()));
    }
    std::set<std::string> sessions;
    for (UniqueFd& c : clients) {
        const std::string line = ReadLine(c.Get());
        EXPECT_EQ(line.substr(0, 8), "session ") << line;
        sessions.insert(line.substr(0, line.find(" peer")));
    }
    EXPECT_EQ(sessions.size(), 50U) << "each connection has its own session";
    // Each hand-off's line is written once its descriptors are closed.
    for (int i = 0; i < 50; ++i) {
        ASSERT_NE(zavd->WaitForLine("handed over"), "") << "one line per connection";
    }
    clients.clear();
    EXPECT_TRUE(NoChildren(zavd->Pid())) << "all sessions ended and were reaped";
    EXPECT_EQ(OpenDescriptors(zavd->Pid()), descriptors) << "no descriptor leaked";
}

TEST_F(Service, SessionsThatCrashOrHangInTheHandOffDoNotStopTheService) {
    auto zavd = Start();
    const std::size_t descriptors = OpenDescriptors(zavd->Pid());
    UniqueFd crashed = ConnectAs(work, zavd->Port(), "crash");
    EXPECT_EQ(ReadLine(crashed.Get()), "") << "the connection is closed unserved";
    EXPECT_NE(zavd->WaitForLine("hand-off failed"), "");

    UniqueFd hung = ConnectAs(work, zavd->Port(), "hang");
    // While one session hangs, others are served.
    UniqueFd served = Connect(zavd->Port());
    EXPECT_EQ(ReadLine(served.Get()).substr(0, 8), "session ");
    EXPECT_NE(zavd->WaitForLine("handed over"), "");
    // The hung session is given up after the hand-off's time limit, and ended.
    EXPECT_EQ(ReadLine(hung.Get()), "");
    EXPECT_NE(zavd->WaitForLine("hand-off failed"), "");
    served.Reset();
    EXPECT_TRUE(NoChildren(zavd->Pid()));
    EXPECT_EQ(OpenDescriptors(zavd->Pid()), descriptors);
}

// Two connections are served, a third is closed at once with zavd's reason; the two
// served are returned.
std::vector<UniqueFd> TwoServedThirdRefused(test::Zavd& zavd, const std::string& reason) {
    std::vector<UniqueFd> served;
    served.push_back(Connect(zavd.Port()));
    served.push_back(Connect(zavd.Port()));
    for (UniqueFd& c : served) {
        EXPECT_EQ(ReadLine(c.Get()).substr(0, 8), "session ");
    }
    UniqueFd third = Connect(zavd.Port());
    EXPECT_EQ(ReadLine(third.Get()), "");
    EXPECT_NE(zavd.WaitForLine(reason), "") << zavd.Output();
    return served;
}

TEST_F(Service, ConnectionsBeyondTheLimitAreClosedAtOnce) {
    auto zavd = Start({"--max-sessions", "2"});
    std::vector<UniqueFd> served = TwoServedThirdRefused(*zavd, "refused, 2 sessions running");
    UniqueFd& first = served[0];
    // A place becomes free when a session ends and is reaped.
    first.Reset();
    for (int i = 0; i < 600 && Children(zavd->Pid()).size() > 1; ++i) {
        ::usleep(50000);
    }
    UniqueFd next = Connect(zavd->Port());
    EXPECT_EQ(ReadLine(next.Get()).substr(0, 8), "session ");
}

TEST_F(Service, OneAddressCannotHoldEverySlotWithUnfinishedLogIns) {
    auto zavd = Start({"--max-startups-per-address", "2"});
    TwoServedThirdRefused(*zavd, "refused, 2 sessions from this address have not logged on");
}

TEST_F(Service, StoppingTheServiceEndsItsSessions) {
    auto zavd = Start();
    UniqueFd client = Connect(zavd->Port());
    EXPECT_EQ(ReadLine(client.Get()).substr(0, 8), "session ");
    EXPECT_EQ(zavd->Stop(SIGTERM), 0);
    EXPECT_EQ(ReadLine(client.Get()), "ZAV service stopped");
    EXPECT_NE(zavd->Output().find("stopping"), std::string::npos);
}

TEST_F(Service, UnderTheJournalLinesCarryAPriorityInsteadOfTheTime) {
    // A session program that passes zavd's check of the settings and is gone when the
    // client comes: the connection is not served.
    const std::string session = work / "session";
    test::WriteFile(session, "#!/bin/sh\nexit 0\n");
    ASSERT_EQ(::chmod(session.c_str(), 0755), 0);
    test::Zavd zavd(work.Path().string(), {"--session", session}, "127.0.0.1:0", 0, 0, true);
    ASSERT_GT(zavd.Port(), 0) << zavd.Output();
    ASSERT_EQ(::unlink(session.c_str()), 0);
    UniqueFd client = Connect(zavd.Port());
    EXPECT_NE(zavd.WaitForLine("not served"), "") << zavd.Output();
    EXPECT_EQ(zavd.Stop(SIGTERM), 0);
    const std::string output = zavd.Output();
    EXPECT_NE(output.find("\n<4>127.0.0.1:"), std::string::npos) << output;
    EXPECT_NE(output.find("\n<6>stopping; running sessions end on their own\n"), std::string::npos)
        << output;
}

TEST_F(Service, IPv6) {
    auto zavd = Start({}, "[::1]:0");
    UniqueFd client = Connect(zavd->Port(), true);
    const std::string line = ReadLine(client.Get());
    EXPECT_NE(line.find(" peer ::1:"), std::string::npos) << line;
}

TEST_F(Service, TheKeySetFileIsCreatedOnceAndPrivate) {
    test::WriteFile(work / "zav.ini",
                    "[ZTerm]\nrsakey_file=keys\\server_key\nkey_init=" ZAV_CONFIG_DIR
                    "/zav_keys.ini\n");
    ::mkdir((work / "keys").c_str(), 0700);
    const std::string genkey =
        std::string(ZAVD_PATH) + " --genkey --workdir " + test::Quote(work.Path().string());
    const auto created = test::Run(genkey);
    EXPECT_EQ(created.status, 0);
    EXPECT_NE(created.output.find("created"), std::string::npos) << created.output;
    const std::string key = work / "keys/server_key";
    struct stat info {};
    ASSERT_EQ(::stat(key.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600U);
    EXPECT_EQ(info.st_uid, ::geteuid()) << "the sessions take a key of root or their own account";
    const std::string before = test::ReadFile(key);
    // Encrypted with the key-set password, and only with it.
    EXPECT_EQ(test::Run("ssh-keygen -y -P " + test::Quote(ZSsh::kKeysetPassword) + " -f " +
                        test::Quote(key))
                  .status,
              0);
    EXPECT_NE(test::Run("ssh-keygen -y -P wrong -f " + test::Quote(key) + " 2>/dev/null").status,
              0);
    const auto again = test::Run(genkey);
    EXPECT_EQ(again.status, 0);
    EXPECT_NE(again.output.find("exists"), std::string::npos);
    EXPECT_EQ(test::ReadFile(key), before) << "an existing key is kept";
    // Made or found, the key's fingerprint is shown as ssh-keygen computes it from the
    // public key: "256 SHA256:<hash> comment (ED25519)".
    const std::string pub = work / "server_key.pub";
    ASSERT_EQ(test::Run("ssh-keygen -y -P " + test::Quote(ZSsh::kKeysetPassword) + " -f " +
                        test::Quote(key) + " >" + test::Quote(pub))
                  .status,
              0);
    const std::string listed = test::Run("ssh-keygen -lf " + test::Quote(pub)).output;
    const std::string hash = listed.substr(listed.find(' ') + 1, listed.find(' ', 4) - 4);
    ASSERT_EQ(hash.rfind("SHA256:", 0), 0U) << listed;
    ASSERT_NE(listed.find("(ED25519)"), std::string::npos) << listed;
    const std::string shown = "\n  ED25519 key fingerprint is " + hash + "\n";
    EXPECT_NE(created.output.find(shown), std::string::npos) << created.output << listed;
    EXPECT_NE(again.output.find(shown), std::string::npos) << again.output << listed;
    // The check finds the key where --genkey put it.
    EXPECT_EQ(test::Run(std::string(ZAVD_PATH) + " --check-config --workdir " +
                        test::Quote(work.Path().string()))
                  .status,
              0);

    test::WriteFile(work / "zav.ini", "[ZTerm]\n");
    EXPECT_EQ(test::Run(genkey + " 2>/dev/null").status, 1) << "no rsakey_file";
}

// What an OpenSSH client shows about an unknown host is the line zavd --genkey printed
// for the key the sessions serve with. The client asks through an askpass program that
// keeps the question and answers no.
TEST_F(Service, TheFingerprintShownIsTheOneAClientIsAsked) {
    const auto genkey = test::Run(std::string(ZAVD_PATH) + " --genkey --workdir " +
                                  test::Quote(work.Path().string()));
    ASSERT_EQ(genkey.status, 0) << genkey.output;
    const auto start = genkey.output.find("ED25519 key fingerprint is SHA256:");
    ASSERT_NE(start, std::string::npos) << genkey.output;
    const std::string line = genkey.output.substr(start, genkey.output.find('\n', start) - start);

    Behave("ssh");
    auto zavd = Start();
    const std::string askpass = work / "askpass";
    const std::string asked = work / "asked";
    test::WriteFile(askpass,
                    "#!/bin/sh\nprintf '%s' \"$1\" >" + test::Quote(asked) + "\necho no\n");
    ASSERT_EQ(::chmod(askpass.c_str(), 0755), 0);
    const auto client = test::Run(
        "SSH_ASKPASS=" + test::Quote(askpass) + " SSH_ASKPASS_REQUIRE=force DISPLAY=none " +
        "timeout 60 ssh -F /dev/null -o StrictHostKeyChecking=ask "
        "-o UserKnownHostsFile=/dev/null -o GlobalKnownHostsFile=/dev/null -o BatchMode=no "
        "-p " +
        std::to_string(zavd->Port()) + " alice@127.0.0.1 true </dev/null 2>&1");
    EXPECT_EQ(client.status, 255) << client.output;
    EXPECT_NE(client.output.find("Host key verification failed"), std::string::npos)
        << client.output;
    const std::string question = test::ReadFile(asked);
    EXPECT_NE(question.find("\n" + line + ".\n"), std::string::npos) << question << "\n"
                                                                     << genkey.output;
}

TEST(ZavdOptions, CommandLine) {
    ZavdOptions o;
    std::string error;
    ASSERT_TRUE(o.Parse({}, error));
    ASSERT_EQ(o.listen.size(), 1U);
    EXPECT_EQ(o.listen[0].host, "127.0.0.1");
    EXPECT_EQ(o.listen[0].port, 2222);
    EXPECT_EQ(o.maxSessions, 100);
    EXPECT_FALSE(o.debug);
    EXPECT_EQ(o.session.substr(o.session.size() - 7), "/brisel");

    ZavdOptions p;
    ASSERT_TRUE(p.Parse({"--listen", "0.0.0.0:22", "--listen", "[::1]:2222", "--debug",
                         "--max-sessions", "7", "--workdir", "/etc/zav", "--session", "/x/y"},
                        error))
        << error;
    ASSERT_EQ(p.listen.size(), 2U);
    EXPECT_EQ(p.listen[1].host, "::1");
    EXPECT_EQ(p.listen[1].port, 2222);
    EXPECT_TRUE(p.debug);
    EXPECT_EQ(p.maxSessions, 7);
    EXPECT_EQ(p.workdir, "/etc/zav");
    EXPECT_EQ(p.session, "/x/y");

    for (const std::vector<std::string>& bad :
         std::vector<std::vector<std::string>>{{"--listen", "localhost:22"},
                                               {"--listen", "::1:22"},
                                               {"--listen", "127.0.0.1:65536"},
                                               {"--listen"},
                                               {"--max-sessions", "0"},
                                               {"--frobnicate"}}) {
        ZavdOptions q;
        EXPECT_FALSE(q.Parse(bad, error)) << bad[0];
        EXPECT_FALSE(error.empty());
    }
    const auto help = test::Run(std::string(ZAVD_PATH) + " --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("--max-sessions N"), std::string::npos);
    EXPECT_NE(help.output.find("--max-startups-per-address N"), std::string::npos);
    EXPECT_EQ(o.maxStartupsPerAddress, 10);
}

}  // namespace
