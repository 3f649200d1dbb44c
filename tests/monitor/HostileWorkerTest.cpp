// The root boundary, attacked from the worker's side: a compromised worker (a program that
// splits like a session and then speaks the monitor's protocol itself) asks for what no
// worker may get, and tries to reach a real session of another client.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>

#include "support/BriselSession.h"
#include "support/TestSupport.h"

namespace {

class HostileWorker : public test::BriselSession {
  protected:
    static uid_t Uid(const std::string& user) {
        const passwd* account = ::getpwnam(user.c_str());
        return account != nullptr ? account->pw_uid : 0;
    }

    // Runs the hostile worker; its "step=result" lines.
    std::map<std::string, std::string> Attack(const std::string& victimTty = {},
                                              pid_t victimPid = 0) {
        std::string command = std::string(ZAV_HOSTILE_WORKER_PATH) + " " + ZAV_ACCOUNTS_FILE + " " +
                              test::Quote((work.Path() / "hostile.log").string()) +
                              " zavtest33 zavtest34";
        if (!victimTty.empty()) {
            command += " " + victimTty + " " + std::to_string(victimPid);
        }
        const test::RunResult result = test::Run(command + " 2>&1");
        EXPECT_EQ(result.status, 0) << result.output;
        std::map<std::string, std::string> steps;
        std::istringstream lines(result.output);
        std::string line;
        while (std::getline(lines, line)) {
            const std::size_t equals = line.find('=');
            if (equals != std::string::npos) {
                steps[line.substr(0, equals)] = line.substr(equals + 1);
            }
        }
        return steps;
    }

    // The session's worker (the monitor's child) and the terminal the monitor made.
    void FindVictim(pid_t& worker, std::string& tty) {
        const std::string monitor =
            test::Run("pgrep -P " + std::to_string(zavd->Pid()) + " | head -1").output;
        ASSERT_FALSE(monitor.empty());
        const std::string pid = monitor.substr(0, monitor.find('\n'));
        worker = std::stoi(test::Run("pgrep -P " + pid + " | head -1").output);
        tty = test::Run("for f in /proc/" + pid +
                        "/fd/*; do readlink $f; done | grep -m1 '^/dev/pts/'")
                  .output;
        tty = tty.substr(0, tty.find('\n'));
        ASSERT_FALSE(tty.empty());
    }
};

constexpr const char* kRefused = "1";  // EPERM

TEST_F(HostileWorker, TheMonitorRefusesWhatNoWorkerMayGetAndSessionsAreSealed) {
    // The victim: another client at its log-in prompt.
    Start("zavtest35");
    ASSERT_TRUE(terminal->WaitForText("Password:")) << terminal->Capture();
    pid_t victim = 0;
    std::string tty;
    FindVictim(victim, tty);
    struct stat status {};
    ASSERT_EQ(::stat(tty.c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, 0U) << "the log-in prompt's terminal is root's";

    auto steps = Attack(tty, victim);
    const std::string workerUid = steps["worker_uid"];
    EXPECT_GE(std::stoul(workerUid), 0x7F000000UL);
    EXPECT_EQ(steps["shell_before_logon"], kRefused);
    EXPECT_EQ(steps["offers_before_logon"], kRefused);
    EXPECT_EQ(steps["reattach_before_logon"], kRefused);
    EXPECT_EQ(steps["background_before_shell"], kRefused);
    EXPECT_EQ(steps["background"], "ok");
    EXPECT_EQ(steps["background_back"], "ok");
    EXPECT_EQ(steps["background_after_end"], kRefused);
    EXPECT_EQ(steps["offers_without_zavd"], "ok");
    EXPECT_EQ(steps["reattach_init"], "22");           // EINVAL
    EXPECT_EQ(steps["reattach_without_zavd"], "107");  // ENOTCONN
    EXPECT_EQ(steps["detach_before_shell"], kRefused);
    EXPECT_EQ(steps["reattach_after_shell"], kRefused);
    EXPECT_EQ(steps["detach_without_zavd"], "95");  // ENOTSUP
    // A forbidden name is refused like a wrong password (PAM's authentication failure).
    EXPECT_EQ(steps["logon_forbidden"], std::to_string(0x20000000 | 7));
    EXPECT_EQ(steps["logon_nul"], "22");  // EINVAL: a name cut short is no name
    EXPECT_EQ(steps["logon_good"], "ok");
    EXPECT_EQ(steps["logon_again"], kRefused);
    EXPECT_EQ(steps["shell_other_command"], kRefused);
    EXPECT_EQ(steps["shell_unlisted_variable"], kRefused);
    ASSERT_EQ(steps["own_terminal"], "ok");
    // The shell starts, on the monitor's terminal: the worker's own stays its own.
    EXPECT_EQ(steps["shell_streams_not_pipes"], "22");  // EINVAL: only pipes, the right way
    EXPECT_EQ(steps["shell_with_descriptor"], "ok");
    EXPECT_EQ(steps["own_terminal_owner"], workerUid);
    EXPECT_EQ(steps["session_terminal_owner"], std::to_string(Uid("zavtest33")));
    EXPECT_EQ(steps["tiocsti"], kRefused);
    EXPECT_EQ(steps["ptrace"], kRefused);
    EXPECT_EQ(steps["personality"], kRefused);
    EXPECT_EQ(steps["keyring"], kRefused);
    EXPECT_EQ(steps["interrupt_init"], "22");
    EXPECT_EQ(steps["interrupt_own_group"], kRefused);
    EXPECT_EQ(steps["victim_terminal"], "13");  // EACCES
    EXPECT_EQ(steps["victim_signal"], kRefused);
    EXPECT_EQ(steps["victim_proc"], "13");
    EXPECT_EQ(steps["end_job"], "ok");
    EXPECT_EQ(steps["shell_after_end"], kRefused);

    const std::string log = test::ReadFile((work.Path() / "hostile.log").string());
    EXPECT_NE(log.find("a worker line"), std::string::npos) << log;
    EXPECT_NE(log.find("user in forbidden list"), std::string::npos) << log;
    EXPECT_NE(log.find("login refused: [ zavtest34 ] from 10.0.0.1 port 4242 - "),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("login accepted: [ zavtest33 ] from 10.0.0.1 port 4242\r\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("10.9.9.9"), std::string::npos) << log;
    EXPECT_EQ(log.find("other pid"), std::string::npos) << log;
    EXPECT_EQ(log.find("login accepted: [ root ]"), std::string::npos) << log;
    EXPECT_EQ(log.find("\\x0d"), std::string::npos) << "the reason is one line: " << log;
    EXPECT_TRUE(NothingLeft("zavtest33"));

    // Logged on, the victim's terminal is its user's: still out of a worker's reach.
    Type(test::Password("zavtest35"));
    ASSERT_TRUE(terminal->WaitForText("zavtest35>")) << terminal->Capture();
    ASSERT_EQ(::stat(tty.c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, Uid("zavtest35"));
    steps = Attack(tty, victim);
    EXPECT_EQ(steps["victim_terminal"], "13");
    EXPECT_EQ(steps["victim_signal"], kRefused);
    EXPECT_EQ(steps["victim_proc"], "13");
    Type("exit");
    EXPECT_TRUE(terminal->WaitForText("ssh-exit=0")) << terminal->Capture();
    EXPECT_TRUE(NothingLeft("zavtest35"));
    EXPECT_TRUE(NothingLeft("zavtest33"));
}

}  // namespace
