// zavd and a session's monitor killed together (kill -9), with a user logged on who left
// programs in new sessions: nothing of the user, of the session's groups or of zavd's
// private directory may be left once zavd has started again with the same settings,
// and another zavd running beside it keeps its sessions. Real accounts, PAM, OpenSSH.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/BriselSession.h"
#include "support/TestSupport.h"
#include "support/Zavd.h"
#include "win32/CgroupJob.h"

namespace {

using test::Password;

// The variable name from /proc/PID/environ, or "".
std::string Environment(pid_t pid, const std::string& name) {
    std::istringstream entries(test::ReadFile("/proc/" + std::to_string(pid) + "/environ"));
    for (std::string entry; std::getline(entries, entry, '\0');) {
        if (entry.rfind(name + "=", 0) == 0) {
            return entry.substr(name.size() + 1);
        }
    }
    return "";
}

// The directories (cgroups) named name below /sys/fs/cgroup, one a line.
std::string Groups(const std::string& name) {
    return test::Run("find /sys/fs/cgroup -maxdepth 8 -type d -name " + test::Quote(name) +
                     " 2>/dev/null")
        .output;
}

// The processes of user that have not ended ("STAT PID ARGS" lines; a process that has
// ended waits as a zombie until its parent, the system's init for these, reaps it).
std::string Running(const std::string& user) {
    std::istringstream lines(test::Run("ps -u " + user + " -o stat=,pid=,args=").output);
    std::string running;
    for (std::string line; std::getline(lines, line);) {
        running += line.rfind('Z', 0) == 0 ? "" : line + "\n";
    }
    return running;
}

bool UserRuns(const std::string& user, const std::string& program) {
    return test::Run("pgrep -u " + user + " -f " + test::Quote(program) + " >/dev/null").status ==
           0;
}

class KilledService : public test::BriselSession {
  protected:
    // Whatever a failed test left running or in place goes with it: the services, and
    // the killed one's groups if its successor did not end them.
    void TearDown() override {
        other.reset();
        otherClient.reset();
        restarted.reset();
        if (killed > 0) {
            std::istringstream left(Groups("zavd-" + std::to_string(killed) + "-*"));
            for (std::string group; std::getline(left, group);) {
                CgroupJob::EndTree(group, 5000);
            }
        }
        test::BriselSession::TearDown();
    }
    pid_t killed = 0;

    std::unique_ptr<test::Zavd> other;
    std::unique_ptr<test::Tmux> otherClient;
    std::unique_ptr<test::Zavd> restarted;
};

TEST_F(KilledService, NothingIsLeftOnceItStartsAgainAndAnotherServiceKeepsItsSessions) {
    const std::string user = "zavtest31";
    const std::string otherUser = "zavtest32";
    ASSERT_NO_FATAL_FAILURE(StartService({}, {}));
    terminal = Connect(user);
    ASSERT_TRUE(terminal->WaitForText("Password:")) << terminal->Capture();
    Type(Password(user));
    ASSERT_TRUE(terminal->WaitForText(user + ">")) << terminal->Capture();
    Type("setsid nohup sleep 1091 >/dev/null 2>&1 & echo started-$((6*7))");
    ASSERT_TRUE(terminal->WaitForText("started-42")) << terminal->Capture();
    const std::string handed = zavd->WaitForLine("handed over");
    const auto at = handed.find(" session ");
    ASSERT_NE(at, std::string::npos) << zavd->Output();
    const pid_t monitor = std::atoi(handed.c_str() + at + 9);
    ASSERT_GT(monitor, 0);
    killed = zavd->Pid();
    const std::string temporary = Environment(killed, "TMPDIR");
    ASSERT_FALSE(temporary.empty());
    ASSERT_NE(Groups("zav-" + std::to_string(monitor) + "-*"), "") << "the user's group";

    // Another service with the same settings and a logged-on user of its own.
    other = std::make_unique<test::Zavd>(work.Path().string(),
                                         std::vector<std::string>{"--session", BRISEL_PATH});
    ASSERT_GT(other->Port(), 0) << other->Output();
    otherClient = std::make_unique<test::Tmux>(
        test::SshCommand(other->Port(), otherUser) + "; echo ssh-exit=$?", 100, 30);
    ASSERT_TRUE(otherClient->WaitForText("Password:")) << otherClient->Capture();
    otherClient->Send(Password(otherUser), true);
    otherClient->Send("Enter");
    ASSERT_TRUE(otherClient->WaitForText(otherUser + ">")) << otherClient->Capture();
    otherClient->Send("setsid nohup sleep 1092 >/dev/null 2>&1 & echo started-$((6*7))", true);
    otherClient->Send("Enter");
    ASSERT_TRUE(otherClient->WaitForText("started-42")) << otherClient->Capture();

    // kill -9 of zavd and of the session's monitor together.
    sessionKilled = true;
    ASSERT_EQ(test::Signal(killed, SIGKILL), 0);
    ASSERT_EQ(test::Signal(monitor, SIGKILL), 0);
    ASSERT_TRUE(test::WaitGone(monitor));
    ASSERT_TRUE(test::WaitGone(killed));
    EXPECT_EQ(zavd->Stop(SIGKILL), -1) << "killed, not ended";
    // Nothing ends the user's program now (its session's worker died with the monitor).
    ASSERT_TRUE(UserRuns(user, "sleep 1091"));

    // zavd again, with the same settings and temporary directory: by the time it listens,
    // nothing of the killed one is left.
    restarted = std::make_unique<test::Zavd>(
        work.Path().string(), std::vector<std::string>{"--session", BRISEL_PATH}, "127.0.0.1:0", 0,
        0, false, test::ZavdRun{temporary, false, {}});
    ASSERT_GT(restarted->Port(), 0) << restarted->Output();
    EXPECT_EQ(Running(user), "") << restarted->Output();
    EXPECT_EQ(Groups("zav-" + std::to_string(monitor) + "-*"), "");
    EXPECT_EQ(Groups("zavd-" + std::to_string(killed) + "-*"), "");
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(temporary, error)) {
        EXPECT_NE(entry.path().filename().string().rfind("zavd-" + std::to_string(killed) + "-", 0),
                  0U)
            << entry.path();
    }

    // The other service's session goes on, with its user's program.
    EXPECT_TRUE(UserRuns(otherUser, "sleep 1092"));
    otherClient->Send("echo still-$((6*7))", true);
    otherClient->Send("Enter");
    EXPECT_TRUE(otherClient->WaitForText("still-42")) << otherClient->Capture();
    EXPECT_NE(Groups("zavd-" + std::to_string(other->Pid()) + "-*"), "");
    otherClient->Send("exit", true);
    otherClient->Send("Enter");
    EXPECT_TRUE(otherClient->WaitForText("ssh-exit=0")) << otherClient->Capture();
    EXPECT_TRUE(NothingLeft(otherUser));

    // Both end in order; the other one, whose session has ended, leaves no group.
    const pid_t otherPid = other->Pid();
    EXPECT_NE(other->WaitForLine(": ended"), "") << other->Output();
    EXPECT_EQ(restarted->Stop(SIGTERM), 0) << restarted->Output();
    EXPECT_EQ(other->Stop(SIGTERM), 0) << other->Output();
    EXPECT_EQ(other->Output().find(": ended, "), std::string::npos) << other->Output();
    EXPECT_EQ(Groups("zavd-" + std::to_string(otherPid) + "-*"), "");
}

}  // namespace
