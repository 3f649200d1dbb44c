// The whole session: zavd hands the connection to brisel, the real OpenSSH client runs in
// tmux, and a real account (created by the test run) logs on through PAM.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "base/UniqueFd.h"
#include "support/BriselSession.h"
#include "support/TestSupport.h"

namespace {

using Brisel = test::BriselSession;
using test::Password;

TEST_F(Brisel, LogOnRunShellAndLeave) {
    const std::string user = "zavtest1";
    // Nothing of zavd's environment reaches the user's shell.
    ::setenv("ZAV_SECRET_MARKER", "leaked", 1);
    Start(user);
    ::unsetenv("ZAV_SECRET_MARKER");
    ASSERT_TRUE(terminal->WaitForText("Password:")) << terminal->Capture();
    std::string pane = terminal->Capture();
    EXPECT_NE(pane.find("Welcome 1.13d"), std::string::npos) << pane;
    EXPECT_NE(pane.find("login: " + user), std::string::npos) << pane;
    Type(Password(user));
    ASSERT_TRUE(terminal->WaitForText(user + ">")) << terminal->Capture();
    EXPECT_EQ(terminal->Capture().find(Password(user)), std::string::npos) << "no echo";

    Type("id -un; echo \"v=$ZAV_VERSION ip=$ZAV_IP port=$ZAV_PORT user=$ZAV_USER\"; pwd");
    ASSERT_TRUE(terminal->WaitForText("v=1.13d ip=127.0.0.1 port=")) << terminal->Capture();
    pane = terminal->Capture();
    EXPECT_NE(pane.find("\n" + user + "\n"), std::string::npos) << pane;
    EXPECT_NE(pane.find("user=" + user), std::string::npos) << pane;
    EXPECT_NE(pane.find("/home/" + user), std::string::npos) << pane;
    // Nothing but the terminal is inherited (3 is the directory ls reads).
    Type("echo marker=[$ZAV_SECRET_MARKER] path=$PATH");
    EXPECT_TRUE(terminal->WaitForText("marker=[] path=/usr/local/bin:/usr/bin:/bin:/usr/games\n"))
        << terminal->Capture();
    Type("echo fds: $(/bin/sh -c 'exec ls /proc/self/fd')");
    EXPECT_TRUE(terminal->WaitForText("fds: 0 1 2 3\n")) << terminal->Capture();

    // Background jobs and escaped sessions end with the session.
    Type("sleep 1000 & setsid sleep 1001 & exit");
    EXPECT_TRUE(terminal->WaitForText("ssh-exit=0")) << terminal->Capture();
    EXPECT_TRUE(WaitForLog("shell is dead"));
    EXPECT_TRUE(WaitForLog("brisel.exe end"));
    EXPECT_TRUE(NothingLeft(user));
    const std::string log = File("brisel.log");
    EXPECT_NE(log.find("login accepted: [ " + user + " ]"), std::string::npos) << log;
    PasswordNowhere(user);
    EXPECT_NE(File("brisel.trc").find(" bytes)"), std::string::npos)
        << "typed input is traced as its length until the shell runs";
}

TEST_F(Brisel, WrongPasswordsUntilTheAttemptsRunOut) {
    const std::string user = "zavtest2";
    Start(user, {{"max_login_attempts", "2"}});
    ASSERT_TRUE(terminal->WaitForText("Password:")) << terminal->Capture();
    Type("wrong-one");
    EXPECT_TRUE(terminal->WaitFor([](const std::string& pane) {
        return pane.find("Authentication failure") != std::string::npos &&
               pane.rfind("Password:") > pane.find("Authentication failure");
    })) << terminal->Capture();
    Type(Password(user) + "x");
    EXPECT_TRUE(WaitForLog("max login attempts"));
    EXPECT_TRUE(terminal->WaitForText("ssh-exit=")) << "the connection is closed";
    const std::string log = File("brisel.log");
    EXPECT_TRUE(std::regex_search(log, std::regex("login refused: \\[ " + user +
                                                  " \\] from 127\\.0\\.0\\.1 port [0-9]+ - "
                                                  "Authentication failure")))
        << log;
    EXPECT_NE(File("brisel.trc").find("force terminate"), std::string::npos);
    PasswordNowhere(user);
    EXPECT_TRUE(NothingLeft(user));
}

TEST_F(Brisel, LogLinesNameTheClientAndTheSessionInIsoTime) {
    const std::string user = "zavtest54";
    const std::time_t started = std::time(nullptr);
    Start(user, {{"log_iso_time", "1"}});
    ASSERT_TRUE(terminal->WaitForText("Password:")) << terminal->Capture();
    Type("wrong-one");
    ASSERT_TRUE(terminal->WaitFor([](const std::string& pane) {
        return pane.find("Authentication failure") != std::string::npos &&
               pane.rfind("Password:") > pane.find("Authentication failure");
    })) << terminal->Capture();
    Type(Password(user));
    ASSERT_TRUE(terminal->WaitForText(user + ">")) << terminal->Capture();
    Type("exit");
    EXPECT_TRUE(terminal->WaitForText("ssh-exit=0")) << terminal->Capture();
    EXPECT_TRUE(WaitForLog("brisel.exe end"));
    const std::time_t ended = std::time(nullptr);

    // zavd names the client and the session: "127.0.0.1:PORT session PID: handed over".
    std::smatch handed;
    const std::string zavdLine = zavd->WaitForLine("handed over");
    ASSERT_TRUE(std::regex_search(zavdLine, handed,
                                  std::regex("127\\.0\\.0\\.1:([0-9]+) session ([0-9]+):")))
        << zavdLine;
    const std::string port = handed[1];
    const std::string session = handed[2];

    const std::string log = File("brisel.log");
    const std::regex line(
        "^ *([0-9]+) : *([0-9]+) ([0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:"
        "[0-9]{2})\\.[0-9]{3}Z : *-?[0-9]+:\t(.*)\r$");
    std::istringstream lines(log);
    std::string text;
    std::set<std::string> threads;
    int accepted = 0;
    int refused = 0;
    while (std::getline(lines, text)) {
        std::smatch fields;
        ASSERT_TRUE(std::regex_match(text, fields, line)) << text;
        EXPECT_EQ(fields[1], session) << "one number follows the session: " << text;
        threads.insert(fields[2]);
        std::tm time{};
        ASSERT_NE(::strptime(fields[3].str().c_str(), "%Y-%m-%dT%H:%M:%S", &time), nullptr);
        const std::time_t when = ::timegm(&time);
        EXPECT_GE(when, started - 1) << text;
        EXPECT_LE(when, ended + 1) << text;
        const std::string message = fields[4];
        accepted += message == "login accepted: [ " + user + " ] from 127.0.0.1 port " + port;
        refused += message == "login refused: [ " + user + " ] from 127.0.0.1 port " + port +
                                  " - Authentication failure";
    }
    EXPECT_EQ(accepted, 1) << log;
    EXPECT_EQ(refused, 1) << "the reason without its line end: " << log;
    EXPECT_GE(threads.size(), 2U) << "the monitor's and the worker's lines: " << log;
    EXPECT_NE(log.find("connected to 127.0.0.1:" + port + "\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("ssh initialized"), std::string::npos) << "the worker's line: " << log;
    // No line of any file ends in an escaped line end (PAM's and the system's texts
    // end in CR LF).
    for (const char* name : {"brisel.log", "brisel.trc", "brisel.err"}) {
        const std::string file = File(name);
        EXPECT_EQ(file.find("\\x0a\r\n"), std::string::npos) << name << ": " << file;
        EXPECT_EQ(file.find("\\x0d\r\n"), std::string::npos) << name << ": " << file;
    }

    EXPECT_TRUE(NothingLeft(user));

    // The shipped fail2ban filter finds the refusal's address and dates every line by its
    // ISO time (where fail2ban-regex is installed: scripts/setup.sh installs it).
    if (test::Run("command -v fail2ban-regex >/dev/null").status != 0) {
        return;
    }
    const auto regex = test::Run("fail2ban-regex -v " + test::Quote(work / "brisel.log") + " " +
                                 test::Quote(test::kConfig + "/fail2ban/zav.conf"));
    EXPECT_EQ(regex.status, 0) << regex.output;
    EXPECT_NE(regex.output.find("Failregex: 1 total"), std::string::npos) << regex.output;
    EXPECT_NE(regex.output.find("|      127.0.0.1  "), std::string::npos) << regex.output;
    const auto count = std::count(log.begin(), log.end(), '\n');
    EXPECT_NE(regex.output.find("[" + std::to_string(count) +
                                "] ^\\s*\\d+ :\\s*\\d+ Year-ExMonth-ExDayT"),
              std::string::npos)
        << regex.output;
}

TEST_F(Brisel, ListsAndDefaultPassword) {
    // Not in the allowed list: refused like a wrong password, without a prompt.
    Start("zavtest3", {{"default_pass", Password("zavtest3")},
                       {"allowed_login_list", ":Somebody:"},
                       {"max_login_attempts", "1"}});
    EXPECT_TRUE(WaitForLog("max login attempts"));
    std::string log = File("brisel.log");
    EXPECT_NE(log.find("user not in allowed list"), std::string::npos) << log;
    EXPECT_NE(log.find("login refused: [ zavtest3 ] from 127.0.0.1 port "), std::string::npos)
        << log;
    EXPECT_EQ(terminal->Capture().find("Password:"), std::string::npos);
    PasswordNowhere("zavtest3");
}

TEST_F(Brisel, AllowedAnyCaseAndDefaultPasswordWithoutPrompt) {
    StartService({{"default_pass", Password("zavtest10")}, {"allowed_login_list", ":ZAVTEST10:"}},
                 {});
    ASSERT_TRUE(zavd && zavd->Port() > 0);
    // A list without colons matches nobody. zavd's check refuses such a setting, so it is
    // put in after zavd has started, as an edit would be.
    test::WriteFile(work / "zav.ini", File("zav.ini") + "fordbiden_login_list=zavtest10\n");
    terminal = Connect("zavtest10");
    ASSERT_TRUE(terminal->WaitForText("zavtest10>")) << terminal->Capture();
    EXPECT_EQ(terminal->Capture().find("Password:"), std::string::npos);
    Type("exit");
    EXPECT_TRUE(WaitForLog("shell is dead"));
}

TEST_F(Brisel, ForbiddenNameAndDomain) {
    Start("zavtest4", {{"default_pass", Password("zavtest4")},
                       {"fordbiden_login_list", ":zavtest4:"},
                       {"max_login_attempts", "1"}});
    EXPECT_TRUE(WaitForLog("max login attempts"));
    EXPECT_NE(File("brisel.log").find("user in forbidden list"), std::string::npos);
}

TEST_F(Brisel, PasswordTimeout) {
    Start("zavtest5", {{"pass_timeout", "2"}});
    ASSERT_TRUE(terminal->WaitForText("Password:"));
    EXPECT_TRUE(terminal->WaitForText("No password in time.")) << terminal->Capture();
    EXPECT_TRUE(WaitForLog("password timeout"));
    EXPECT_TRUE(WaitForLog("brisel.exe end"));
    EXPECT_TRUE(terminal->WaitForText("ssh-exit="));
}

// Every keep_alive_interval seconds the client is asked for an answer at the SSH level
// (as sshd's ClientAliveInterval asks), also before the log-on; the client answers, so
// the next one follows.
TEST_F(Brisel, KeepAlivesAreSshRequests) {
    StartService({{"keep_alive_interval", "1"}}, {});
    const std::string log = work / "ssh.log";
    terminal = std::make_unique<test::Tmux>(
        test::SshCommand(zavd->Port(), "zavtest5", "-v -E " + test::Quote(log)) +
            "; echo ssh-exit=$?",
        100, 30);
    ASSERT_TRUE(terminal->WaitForText("Password:"));
    const std::string request = "rtype keepalive@openssh.com want_reply 1";
    EXPECT_TRUE(test::WaitForFileText(log, [&](const std::string& said) {
        const std::size_t first = said.find(request);
        return first != std::string::npos && said.find(request, first + 1) != std::string::npos;
    })) << test::ReadFile(log);
}

TEST_F(Brisel, IdleTimeoutAfterLogOn) {
    const std::string user = "zavtest6";
    Start(user, {{"idle_timeout", "3"}});
    ASSERT_TRUE(terminal->WaitForText("Password:"));
    Type(Password(user));
    ASSERT_TRUE(terminal->WaitForText(user + ">")) << terminal->Capture();
    Type("sleep 1000 &");
    EXPECT_TRUE(terminal->WaitForText("Idle too long.")) << terminal->Capture();
    EXPECT_TRUE(WaitForLog("idle timeout"));
    EXPECT_TRUE(WaitForLog("brisel.exe end"));
    EXPECT_TRUE(NothingLeft(user));
}

TEST_F(Brisel, ServiceStopped) {
    const std::string user = "zavtest7";
    Start(user);
    ASSERT_TRUE(terminal->WaitForText("Password:"));
    Type(Password(user));
    ASSERT_TRUE(terminal->WaitForText(user + ">")) << terminal->Capture();
    Type("setsid sleep 1000 &");
    EXPECT_EQ(zavd->Stop(SIGTERM), 0);
    EXPECT_TRUE(terminal->WaitForText("Service stopped.")) << terminal->Capture();
    EXPECT_TRUE(WaitForLog("ZAV service stopped"));
    EXPECT_TRUE(WaitForLog("brisel.exe end"));
    EXPECT_TRUE(NothingLeft(user));
}

TEST_F(Brisel, ClientDisconnectsAndTheSessionSurvivesSignals) {
    const std::string user = "zavtest8";
    Start(user);
    ASSERT_TRUE(terminal->WaitForText("Password:"));
    Type(Password(user));
    ASSERT_TRUE(terminal->WaitForText(user + ">")) << terminal->Capture();
    // Console control signals are logged and ignored.
    const auto pids = test::Run("pgrep -f '^" + std::string(BRISEL_PATH) +
                                " -ppid:" + std::to_string(zavd->Pid()) + "'");
    const std::string pid = pids.output.substr(0, pids.output.find('\n'));
    ASSERT_FALSE(pid.empty());
    test::Signal(std::stoi(pid), SIGINT);
    test::Signal(std::stoi(pid), SIGHUP);
    Type("echo still-here");
    EXPECT_TRUE(terminal->WaitForText("still-here\n")) << terminal->Capture();
    EXPECT_NE(File("brisel.trc").find("ZBrisel::event_handler( 0 )"), std::string::npos);

    Type("sleep 1000 &");
    terminal.reset();  // the client goes away
    EXPECT_TRUE(WaitForLog("disconnected"));
    EXPECT_TRUE(WaitForLog("brisel.exe end"));
    EXPECT_TRUE(NothingLeft(user));
}

// A command that prints "size=ROWS COLUMNS" once the terminal has the size expected, or
// after 10 s whatever it has: the client sends a resize and the keys typed after it on
// their own schedules, so the size may land a moment after the command starts.
std::string SizeOnceItIs(const std::string& expected) {
    return "for i in $(seq 100); do [ \"$(stty size)\" = '" + expected +
           "' ] && break; sleep 0.1; done; echo size=$(stty size)";
}

TEST_F(Brisel, WindowSizeFollowsTheClientWithinTheConsolesLimits) {
    const std::string user = "zavtest9";
    Start(user, {{"default_pass", Password(user)}});
    ASSERT_TRUE(terminal->WaitForText(user + ">")) << terminal->Capture();
    Type("stty size");
    EXPECT_TRUE(terminal->WaitForText("\n30 100\n")) << terminal->Capture();
    ASSERT_TRUE(terminal->Resize(200, 40)) << terminal->Capture();
    Type("clear; " + SizeOnceItIs("40 150"));
    EXPECT_TRUE(terminal->WaitForText("size=40 150"))
        << "at most 150 columns: " << terminal->Capture();
    // A full-screen program gets the client's new size, as over any terminal.
    Type("printf '\\033[?1049h'; " + SizeOnceItIs("35 120") +
         " >~/fullscreen-size; printf '\\033[?1049l'; cat ~/fullscreen-size; rm ~/fullscreen-size");
    ASSERT_TRUE(terminal->Resize(120, 35)) << terminal->Capture();
    EXPECT_TRUE(terminal->WaitForText("size=35 120")) << terminal->Capture();
    // A tall window is followed (up to 400 rows; the notice above them is MirrorLimits'),
    // and a smaller one later again.
    ASSERT_TRUE(terminal->Resize(100, 260)) << terminal->Capture();
    Type("clear; " + SizeOnceItIs("260 100"));
    EXPECT_TRUE(terminal->WaitForText("size=260 100")) << terminal->Capture();
    ASSERT_TRUE(terminal->Resize(100, 30)) << terminal->Capture();
    Type("clear; " + SizeOnceItIs("30 100"));
    EXPECT_TRUE(terminal->WaitForText("size=30 100")) << terminal->Capture();
    Type("exit");
}

TEST_F(Brisel, DebugLogOnTakesAnyPasswordButNeverAsRoot) {
    // As root the debug log-on would be a root shell for anyone: zavd refuses it.
    const test::RunResult refused = test::Run(std::string(ZAVD_PATH) + " --debug --workdir " +
                                              test::Quote(work.Path().string()) + " 2>&1");
    EXPECT_NE(refused.status, 0);
    EXPECT_NE(refused.output.find("--debug is refused as root"), std::string::npos)
        << refused.output;

    // As an ordinary account any password starts the shell under that account.
    serviceAccount = "zavtest9";
    Start("nobody-in-particular", {}, {"--debug"});
    ASSERT_TRUE(terminal->WaitForText("Password:"));
    Type("anything");
    // The prompt is "$USER> ", and the session's own environment may have no USER.
    ASSERT_TRUE(terminal->WaitForText("Password:\n")) << terminal->Capture();
    Type("echo who=$(id -un)");
    EXPECT_TRUE(terminal->WaitForText("who=zavtest9")) << terminal->Capture();
    Type("exit");
    EXPECT_TRUE(WaitForLog("shell is dead"));
}

// 60 KB of one repeated byte typed at the password prompt.
std::string Flood(const test::TempDir& work) {
    const std::string path = work / "flood.txt";
    test::WriteFile(path, std::string(60000, 'a'));
    return path;
}

TEST_F(Brisel, AFloodBeforeLogOnKeepsThePasswordTimeOut) {
    // Traced at level 10, as shipped: at 0 every byte writes trace lines.
    Start("zavtest6", {{"pass_timeout", "2"}, {"trace_level", "10"}});
    ASSERT_TRUE(terminal->WaitForText("Password:")) << terminal->Capture();
    terminal->Paste(Flood(work));
    // Two seconds after the dialogue began, give or take the checks' own pace.
    EXPECT_TRUE(WaitForLog("password timeout", 4)) << File("brisel.log");
    EXPECT_TRUE(terminal->WaitForText("ssh-exit=")) << terminal->Capture();
}

TEST_F(Brisel, AFloodBeforeLogOnStillNoticesTheClientLeave) {
    Start("zavtest7", {{"trace_level", "10"}});
    ASSERT_TRUE(terminal->WaitForText("Password:")) << terminal->Capture();
    terminal->Paste(Flood(work));
    terminal.reset();  // the client goes away in the middle of it
    EXPECT_TRUE(WaitForLog("disconnected", 2)) << File("brisel.log");
}

// A field of /proc/<pid>/status ("Uid", "CapEff", ...), its value as written there.
std::string StatusField(pid_t pid, const std::string& field) {
    std::istringstream lines(test::ReadFile("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind(field + ":", 0) == 0) {
            const auto value = line.find_first_not_of(" \t", field.size() + 1);
            return value == std::string::npos ? "" : line.substr(value);
        }
    }
    return "";
}

// The children of a process, started by any of its threads.
std::vector<pid_t> ChildrenOf(pid_t pid) {
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

class SessionProcesses : public Brisel {
  protected:
    // The processes at the other end of pid's local sockets (SO_PEERCRED: for a socket
    // pair, the one that made it), read from copies of its descriptors.
    static std::multiset<pid_t> SocketPeers(pid_t pid) {
        std::multiset<pid_t> peers;
        const UniqueFd process(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
        std::error_code error;
        for (const auto& entry :
             std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
            const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
            if (target.rfind("socket:", 0) != 0) {
                continue;
            }
            const int number = std::atoi(entry.path().filename().c_str());
            const UniqueFd copy(
                static_cast<int>(::syscall(SYS_pidfd_getfd, process.Get(), number, 0)));
            ucred peer{};
            socklen_t length = sizeof peer;
            if (copy.Valid() &&
                ::getsockopt(copy.Get(), SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 &&
                peer.pid > 0) {
                peers.insert(peer.pid);
            }
        }
        return peers;
    }
    // Logs user on with background programs that try to outlive the session, and
    // finds the session's monitor (the process zavd started) and its worker.
    void LogOnWithStragglers(const std::string& user) {
        Start(user, {{"default_pass", Password(user)}});
        ASSERT_TRUE(terminal->WaitForText(user + ">")) << terminal->Capture();
        Type("setsid sleep 1001 & nohup sleep 1002 >/dev/null 2>&1 & echo started-$((6*7))");
        ASSERT_TRUE(terminal->WaitForText("started-42")) << terminal->Capture();
        FindSession();
    }
    void FindSession() {
        const std::string handed = zavd->WaitForLine("handed over");
        const auto at = handed.find(" session ");
        ASSERT_NE(at, std::string::npos) << handed;
        monitor = std::atoi(handed.c_str() + at + 9);
        ASSERT_GT(monitor, 0);
        for (const pid_t child : ChildrenOf(monitor)) {
            if (test::ReadFile("/proc/" + std::to_string(child) + "/comm") == "brisel\n") {
                worker = child;
            }
        }
        ASSERT_GT(worker, 0) << "the session runs as a monitor and a worker";
    }
    // Afterwards nothing of the user, of the session or of its groups is left.
    void NothingOfTheSessionLeft(const std::string& user) {
        EXPECT_TRUE(NothingLeft(user)) << "setsid and nohup processes included";
        EXPECT_NE(test::Signal(worker, 0), 0) << "the worker is gone";
        const std::string groups = test::Run("find /sys/fs/cgroup -maxdepth 8 -type d -name 'zav-" +
                                             std::to_string(monitor) + "-*'")
                                       .output;
        EXPECT_EQ(groups, "") << "the session's groups are removed";
    }
    pid_t monitor = -1;
    pid_t worker = -1;
};

TEST_F(SessionProcesses, OnlyTheMonitorRunsAsRoot) {
    const std::string user = "zavtest4";
    ASSERT_NO_FATAL_FAILURE(LogOnWithStragglers(user));
    // The worker parses the client's and the terminal's bytes: never as root, with no
    // capability, and unable to gain any.
    EXPECT_EQ(StatusField(monitor, "Uid").substr(0, 1), "0");
    EXPECT_NE(StatusField(worker, "Uid").substr(0, 2), "0\t");
    EXPECT_EQ(StatusField(worker, "Uid").find("\t0"), std::string::npos)
        << StatusField(worker, "Uid");
    EXPECT_EQ(StatusField(worker, "CapEff"), "0000000000000000");
    EXPECT_EQ(StatusField(worker, "CapPrm"), "0000000000000000");
    EXPECT_EQ(StatusField(worker, "NoNewPrivs"), "1");
    // zavd's registry channel is the monitor's: no socket of the worker leads to zavd.
    EXPECT_EQ(SocketPeers(monitor).count(zavd->Pid()), 1U) << "the monitor holds the channel";
    EXPECT_EQ(SocketPeers(worker).count(zavd->Pid()), 0U) << "the worker reaches zavd";
    Type("exit");
    EXPECT_TRUE(WaitForLog("brisel.exe end"));
    NothingOfTheSessionLeft(user);
}

// The nice value of a process's scheduling group ("group", where the kernel has them)
// and of each of its threads, by the thread's name.
std::map<std::string, int> Priorities(pid_t pid) {
    std::map<std::string, int> values;
    const std::string group = test::ReadFile("/proc/" + std::to_string(pid) + "/autogroup");
    if (const auto at = group.find(" nice "); at != std::string::npos) {
        values["group"] = std::atoi(group.c_str() + at + 6);
    }
    std::error_code error;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::string name = test::ReadFile((task.path() / "comm").string());
        name.erase(name.find_last_not_of('\n') + 1);
        errno = 0;
        const int nice = ::getpriority(
            PRIO_PROCESS, static_cast<id_t>(std::atoi(task.path().filename().c_str())));
        if (errno == 0) {
            values[name] = std::max(values.count(name) != 0 ? values[name] : -20, nice);
        }
    }
    return values;
}

TEST_F(SessionProcesses, AFloodPastItsBurstYieldsTheProcessorsUntilTheUserTypes) {
    const std::string user = "zavtest67";
    Start(user, {{"default_pass", Password(user)}});
    ASSERT_TRUE(terminal->WaitForText(user + ">")) << terminal->Capture();
    ASSERT_NO_FATAL_FAILURE(FindSession());
    std::map<std::string, int> usual = Priorities(worker);
    for (auto& [name, nice] : usual) {
        nice = 0;
    }
    ASSERT_EQ(usual.count("brisel-pump"), 1U) << "the pump is named";
    EXPECT_EQ(Priorities(worker), usual);
    // The burst's 10,000 lines are gone in a moment; the flood goes on in the background:
    // the session's group and its pump, while the loop that takes the keys keeps its
    // priority among the session's threads.
    std::map<std::string, int> background = usual;
    background["brisel-pump"] = 19;
    if (background.count("group") != 0) {
        background["group"] = 19;
    }
    Type("yes");
    // A session in the background is slow on a busy machine (a sanitizer build beside
    // other tests): the waits allow for it.
    EXPECT_TRUE(
        terminal->WaitFor([&](const std::string&) { return Priorities(worker) == background; }, 60))
        << ::testing::PrintToString(Priorities(worker));
    // The user's keys bring the session back before the program sees them. What yes
    // wrote before Ctrl+C reached it may flood past a burst again: the command is typed
    // once the shell has answered another.
    terminal->Send("C-c");
    Type("echo stopped-$((6*7))");
    ASSERT_TRUE(terminal->WaitForText("stopped-42", 60)) << terminal->Capture();
    Type("echo back-$((6*7))");
    ASSERT_TRUE(terminal->WaitForText("back-42", 60)) << terminal->Capture();
    EXPECT_EQ(Priorities(worker), usual);
    Type("exit");
    EXPECT_TRUE(WaitForLog("brisel.exe end"));
}

TEST_F(SessionProcesses, AKilledMonitorLeavesNothingBehind) {
    const std::string user = "zavtest5";
    ASSERT_NO_FATAL_FAILURE(LogOnWithStragglers(user));
    sessionKilled = true;
    ASSERT_EQ(test::Signal(monitor, SIGKILL), 0);
    EXPECT_NE(zavd->WaitForLine("killed by signal 9"), "");
    NothingOfTheSessionLeft(user);
}

TEST_F(SessionProcesses, AKilledServiceLeavesNothingBehind) {
    const std::string user = "zavtest7";
    ASSERT_NO_FATAL_FAILURE(LogOnWithStragglers(user));
    ASSERT_EQ(test::Signal(zavd->Pid(), SIGKILL), 0);
    // The session sees its service gone and ends in order, with its user's processes.
    EXPECT_TRUE(WaitForLog("ZAV service stopped")) << File("brisel.log");
    EXPECT_TRUE(WaitForLog("brisel.exe end")) << File("brisel.log");
    NothingOfTheSessionLeft(user);
}

TEST_F(SessionProcesses, AKilledWorkerLeavesNothingBehind) {
    const std::string user = "zavtest6";
    ASSERT_NO_FATAL_FAILURE(LogOnWithStragglers(user));
    sessionKilled = true;
    ASSERT_EQ(test::Signal(worker, SIGKILL), 0);
    // The monitor ends the shell's group and reports how the worker ended.
    EXPECT_NE(zavd->WaitForLine("exit code 137"), "") << zavd->Output();
    NothingOfTheSessionLeft(user);
}

TEST_F(Brisel, SessionsNotLoggedOnCountTowardsTheAddressLimit) {
    // The first client stays at the password prompt: its session has not logged on.
    Start("zavtest3", {}, {"--max-startups-per-address", "1"});
    ASSERT_TRUE(terminal->WaitForText("Password:")) << terminal->Capture();
    auto second = Connect("zavtest3");
    EXPECT_NE(zavd->WaitForLine("refused, 1 sessions from this address have not logged on"), "")
        << zavd->Output();
    EXPECT_TRUE(second->WaitForText("ssh-exit=")) << second->Capture();
}

TEST_F(Brisel, BrokenSettingsAreExplained) {
    // zavd refuses to start on such settings; they are broken after it started. The key
    // table cannot be read: the client is told, and so is the administrator. A width
    // beyond the console's is named in the error file with its range.
    ASSERT_NO_FATAL_FAILURE(StartService({}, {}));
    std::string settings = File("zav.ini");
    const auto line = settings.find("key_init=");
    settings.replace(line, settings.find('\n', line) - line, "key_init=missing-keys.ini");
    const auto width = settings.find("screen_width=80\n");
    ASSERT_NE(width, std::string::npos) << settings;
    settings.replace(width, 15, "screen_width=300");
    test::WriteFile(work / "zav.ini", settings);
    terminal = Connect("zavtest8");
    EXPECT_TRUE(terminal->WaitForText("zav: the key table 'missing-keys.ini' (key_init)"))
        << terminal->Capture();
    EXPECT_TRUE(terminal->WaitForText("ssh-exit=")) << terminal->Capture();
    EXPECT_NE(zavd->WaitForLine("missing-keys.ini"), "") << zavd->Output();
    EXPECT_NE(File("brisel.err").find("missing-keys.ini"), std::string::npos);
    EXPECT_NE(File("brisel.err")
                  .find("zav.ini: [ZTerm] screen_width: 300 is out of range; "
                        "expected 1 to 200; 200 is used"),
              std::string::npos)
        << File("brisel.err");

    // Without its settings file the session cannot serve at all: zavd's output says why.
    std::filesystem::remove(work / "zav.ini");
    auto client = Connect("zavtest8");
    EXPECT_NE(zavd->WaitForLine("cannot read ./zav.ini"), "") << zavd->Output();
    EXPECT_TRUE(client->WaitForText("ssh-exit=")) << client->Capture();
}

TEST_F(Brisel, DebugLogOnHonoursTheLists) {
    serviceAccount = "zavtest9";
    Start("root", {{"max_login_attempts", "1"}, {"fordbiden_login_list", ":root:"}}, {"--debug"});
    ASSERT_TRUE(terminal->WaitForText("Password:"));
    Type("anything");
    EXPECT_TRUE(WaitForLog("max login attempts"));
    EXPECT_NE(File("brisel.log").find("user in forbidden list"), std::string::npos);
    EXPECT_EQ(File("brisel.log").find("login accepted"), std::string::npos);
}

}  // namespace
