// The session against what clients and programs send it, and the system's view of a
// log-on through it: a user name and output full of control sequences, the log-in records
// that who, last and lastlog read, and limits.conf and the login uid in the user's shell.
// zavd, brisel, real clients and real PAM, with the accounts zavtest36 to zavtest38.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/BriselSession.h"
#include "support/LogInRecords.h"

namespace {

using test::Password;

// The parameters 0;0;...;0;last of a control sequence, count in all.
std::string Parameters(int count, int last) {
    std::string text;
    for (int i = 1; i < count; ++i) {
        text += "0;";
    }
    return text + std::to_string(last);
}

// The parameters 1;2;...;count, but 28 (text shown) for 8 (text hidden), so that the text
// after them shows, whichever of them a terminal takes.
std::string Numbered(int count) {
    std::string text = "1";
    for (int i = 2; i <= count; ++i) {
        text += ";" + std::to_string(i == 8 ? 28 : i);
    }
    return text;
}

// The words of the line of a tool's output that starts with the account and the
// terminal's line, or none.
std::vector<std::string> Entry(const std::string& output, const std::string& user,
                               const std::string& line) {
    std::istringstream lines(output);
    for (std::string text; std::getline(lines, text);) {
        std::istringstream words(text);
        std::vector<std::string> entry;
        for (std::string word; words >> word;) {
            entry.push_back(word);
        }
        if (entry.size() >= 2 && entry[0] == user && entry[1] == line) {
            return entry;
        }
    }
    return {};
}

// The time as last's --since reads it.
std::string LocalTime(std::time_t when) {
    std::tm parts{};
    ::localtime_r(&when, &parts);
    char text[32] = {};
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}

// A file of the system's that the test makes, as the system would have it, where there is
// none; removed at the test's end, whether it passed or not, only if the test made it.
class SystemFile {
  public:
    SystemFile(const std::string& path, mode_t mode, const char* group) : m_path(path) {
        const UniqueFd file(
            ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        if (!file.Valid()) {
            if (errno != EEXIST) {
                m_error = path + ": " + std::strerror(errno);
            }
            return;
        }
        m_created = true;
        const ::group* owner = ::getgrnam(group);
        if (owner == nullptr || ::fchown(file.Get(), 0, owner->gr_gid) != 0 ||
            ::fchmod(file.Get(), mode) != 0) {
            m_error = path + ": cannot give it to the group " + group;
        }
    }
    ~SystemFile() {
        if (m_created) {
            ::unlink(m_path.c_str());
        }
    }
    SystemFile(const SystemFile&) = delete;
    SystemFile& operator=(const SystemFile&) = delete;

    // Empty when the file is there as the system would have it.
    const std::string& Error() const { return m_error; }

  private:
    std::string m_path;
    bool m_created = false;
    std::string m_error;
};

class Security : public test::BriselSession {
  protected:
    // Starts the service (unless it runs) and an OpenSSH client for user, and logs on;
    // returns at the shell's prompt with the session's process id.
    void LogOn(const std::string& user, pid_t& session) {
        if (!zavd) {
            ASSERT_NO_FATAL_FAILURE(StartService({}, {}));
        }
        terminal = Connect(user);
        ASSERT_TRUE(terminal->WaitForText("Password:")) << terminal->Capture();
        session = SessionPid();
        Type(Password(user));
        ASSERT_TRUE(terminal->WaitForText(user + ">")) << terminal->Capture();
    }

    // Leaves the shell: the client ends with the shell's status 0, the session in order
    // (zavd's line for its end names no exit code or signal), nothing of user is left.
    void LogOff(const std::string& user, pid_t session) {
        Type("exit");
        EXPECT_TRUE(terminal->WaitForText("ssh-exit=")) << terminal->Capture();
        EXPECT_NE(terminal->Capture().find("ssh-exit=0\n"), std::string::npos)
            << terminal->Capture();
        ExpectEndedInOrder(session);
        EXPECT_TRUE(NothingLeft(user));
    }

    // The session's process id from zavd's "session N: handed over" line, or -1.
    pid_t SessionPid() {
        const std::string line = zavd->WaitForLine(": handed over");
        static const std::regex pattern("session ([0-9]+): handed over");
        std::smatch match;
        return std::regex_search(line, match, pattern) ? std::stoi(match[1].str()) : -1;
    }

    // zavd's line for the session's end says it ended with exit code 0.
    void ExpectEndedInOrder(pid_t session) {
        ASSERT_GT(session, 0);
        const std::string mark = "session " + std::to_string(session) + ": ended";
        for (;;) {
            const std::string line = zavd->WaitForLine(mark, 30);
            ASSERT_FALSE(line.empty()) << "no end of " << mark << "\n" << zavd->Output();
            // Not "ended what it left running in ...", which comes before the end.
            const std::string rest = line.substr(line.find(mark) + mark.size());
            if (rest.empty() || rest.starts_with(", ")) {
                EXPECT_EQ(rest, "") << line;
                return;
            }
        }
    }
};

TEST_F(Security, ControlSequencesInTheUserNameAndTheOutputLeaveTheSessionStanding) {
    if (::access("/usr/bin/python3", X_OK) != 0 ||
        test::Run("/usr/bin/python3 -c 'import paramiko' 2>/dev/null").status != 0) {
        GTEST_SKIP() << "no paramiko for /usr/bin/python3 (python3-paramiko)";
    }
    const std::string user = "zavtest36";
    ASSERT_NO_FATAL_FAILURE(StartService({{"max_login_attempts", "1"}}, {}));

    // Before the log-on: a name with a control sequence of 20 parameters (libvterm 0.1.4
    // overwrites its own state from the 17th on), and text after it. paramiko sends the
    // name's bytes as they are.
    const std::string name = "\x1b[" + Parameters(20, 4096) + "mname-goes-on";
    const std::string shown = "^[[" + Parameters(20, 4096) + "mname-goes-on";
    terminal = std::make_unique<test::Tmux>("/usr/bin/python3 " + test::Quote(ZAV_PYTHON_CLIENT) +
                                                " paramiko " + std::to_string(zavd->Port()) +
                                                " \"$(printf '\\033[" + Parameters(20, 4096) +
                                                "mname-goes-on')\"; echo client-exit=$?",
                                            100, 30);
    ASSERT_TRUE(terminal->WaitForText("Password:")) << terminal->Capture();
    const pid_t refused = SessionPid();
    // The console shows the name with its controls made visible.
    EXPECT_NE(terminal->Capture().find("login: " + shown + "\nPassword:"), std::string::npos)
        << terminal->Capture();
    // A wrong password with one attempt allowed ends the session in order. The client
    // gets no exit status (there was no program), which paramiko's client reports as 255.
    Type("not-the-password");
    EXPECT_TRUE(terminal->WaitForText("client-exit=")) << terminal->Capture();
    EXPECT_NE(terminal->Capture().find("client-exit=255\n"), std::string::npos)
        << terminal->Capture();
    EXPECT_TRUE(WaitForLog("max login attempts")) << File("brisel.log");
    EXPECT_TRUE(WaitForLog("brisel.exe end")) << File("brisel.log");
    ExpectEndedInOrder(refused);
    // The files hold the name with its controls escaped, never the raw bytes.
    EXPECT_NE(File("brisel.log")
                  .find("login refused: [ \\x1b[" + Parameters(20, 4096) +
                        "mname-goes-on ] from 127.0.0.1 port "),
              std::string::npos)
        << File("brisel.log");
    for (const char* file : {"brisel.log", "brisel.trc", "brisel.err"}) {
        EXPECT_EQ(File(file).find(name), std::string::npos) << file;
        EXPECT_EQ(File(file).find('\x1b'), std::string::npos) << file;
    }
    EXPECT_EQ(zavd->Output().find('\x1b'), std::string::npos) << zavd->Output();

    // After the log-on: a control sequence of 40 parameters, then, from a file, one of 300
    // with values beyond any the library can hold, and an application program command
    // string (which 0.1.4 prints as text).
    test::TempDir shared;
    ASSERT_EQ(::chmod(shared.Path().c_str(), 0755), 0);
    std::string hostile = "\x1b[" + Numbered(300) + ";4294967296;99999999999999999999m\x1b[0m";
    hostile += "before-apc \x1b_";
    for (int i = 0; i < 2000; ++i) {
        hostile += "apc-payload-";
    }
    hostile += "\x1b\\after-apc\n";
    test::WriteFile(shared / "hostile.out", hostile);
    ASSERT_EQ(::chmod((shared / "hostile.out").c_str(), 0644), 0);

    pid_t session = -1;
    ASSERT_NO_FATAL_FAILURE(LogOn(user, session));
    Type("printf '\\033[" + Numbered(40) + "mAFTER\\033[0m\\n'");
    EXPECT_TRUE(terminal->WaitForText("\nAFTER\n")) << terminal->Capture();
    Type("cat " + shared / "hostile.out" + "; echo cat-''done");
    EXPECT_TRUE(terminal->WaitForText("\ncat-done\n")) << terminal->Capture();
    EXPECT_NE(terminal->Capture().find("\nbefore-apc after-apc\ncat-done\n"), std::string::npos)
        << terminal->Capture();
    EXPECT_EQ(terminal->History().find("apc-payload"), std::string::npos) << terminal->History();
    // The session still answers.
    Type("echo next-$((6*7))");
    EXPECT_TRUE(terminal->WaitForText("\nnext-42\n")) << terminal->Capture();
    LogOff(user, session);
}

TEST_F(Security, WhoLastAndLastlogShowTheLogOnWithItsAddress) {
    const std::string user = "zavtest37";
    // The records are written only to files that exist: where the system keeps none, the
    // test makes them as the system would.
    const SystemFile utmp("/run/utmp", 0664, "utmp");
    const SystemFile wtmp("/var/log/wtmp", 0664, "utmp");
    ASSERT_EQ(utmp.Error(), "");
    ASSERT_EQ(wtmp.Error(), "");
    // A second before the log-on, so that last leaves out this account's earlier log-ins.
    const std::string since = LocalTime(std::time(nullptr) - 1);

    pid_t session = -1;
    ASSERT_NO_FATAL_FAILURE(LogOn(user, session));
    Type("echo on-$(tty | cut -c6-)-$$-now");
    const std::vector<std::string> on = WaitForMatch("\non-(pts/[0-9]+)-([0-9]+)-now\n");
    ASSERT_EQ(on.size(), 3U) << terminal->Capture();
    const std::string line = on[1];
    const int shell = std::stoi(on[2]);
    // who lists the log-in on the session's terminal, from the client's address. The
    // monitor records it as soon as the shell's exec succeeded, before it answers the
    // worker; the prompt and the echo above took round trips through the client since.
    const test::RunResult listed = test::Run("who");
    ASSERT_EQ(listed.status, 0);
    const std::string who = listed.output;
    EXPECT_TRUE(test::Has(Entry(who, user, line), "(127.0.0.1)")) << line << "\n" << who;

    LogOff(user, session);
    // The log-in is over: who leaves it out, utmp's entry for the terminal is a dead one.
    const test::RunResult after = test::Run("who");
    EXPECT_EQ(after.status, 0);
    EXPECT_TRUE(Entry(after.output, user, line).empty()) << after.output;
    const test::RunResult dump = test::Run("utmpdump /run/utmp 2>/dev/null");
    const std::vector<std::string> record = test::LatestRecord(dump.output, line);
    ASSERT_EQ(record.size(), 8U) << dump.output;
    if (std::stoi(record[1]) == shell) {
        EXPECT_EQ(record[0], "8") << dump.output;  // DEAD_PROCESS
        EXPECT_EQ(record[3], "") << dump.output;   // no name
    } else {
        // The terminal went to another since (a tmux pane of a test running beside this
        // one records itself): this log-in's entry is gone all the same.
        EXPECT_NE(record[3], user) << dump.output;
    }
    // wtmp keeps the log-out: the line, this shell's pid, no name.
    const test::RunResult history = test::Run("utmpdump /var/log/wtmp 2>/dev/null");
    bool loggedOut = false;
    std::istringstream records(history.output);
    for (std::string text; std::getline(records, text);) {
        const std::vector<std::string> fields = test::LatestRecord(text, line);
        loggedOut = loggedOut || (fields.size() == 8U && fields[0] == "8" &&
                                  std::stoi(fields[1]) == shell && fields[3].empty());
    }
    EXPECT_TRUE(loggedOut) << history.output;

    // last shows it from the client's address: its host field and (-i) its binary one.
    for (const char* options : {"-w", "-w -i"}) {
        const test::RunResult last = test::Run(std::string("last ") + options + " -s " +
                                               test::Quote(since) + " -f /var/log/wtmp " + user);
        EXPECT_EQ(last.status, 0) << options;
        EXPECT_TRUE(test::Has(Entry(last.output, user, line), "127.0.0.1")) << options << "\n"
                                                                            << last.output;
    }
    if (::access("/var/log/lastlog", F_OK) == 0) {
        const test::RunResult lastlog = test::Run("lastlog -u " + user);
        EXPECT_EQ(lastlog.status, 0);
        EXPECT_TRUE(test::Has(Entry(lastlog.output, user, line), "127.0.0.1")) << lastlog.output;
    }
}

TEST_F(Security, LimitsConfAndTheLoginUidReachTheShell) {
    const std::string user = "zavtest38";
    const passwd* account = ::getpwnam(user.c_str());
    ASSERT_NE(account, nullptr) << user;
    const uid_t uid = account->pw_uid;
    if (test::Run("unshare -m --propagation private true 2>/dev/null").status != 0) {
        GTEST_SKIP() << "no mount namespace for zavd here";
    }
    // zavd, and with it the sessions and PAM, run in a mount namespace of their own, where
    // a limits.conf of the test's own is mounted over the system's.
    const std::string system = test::ReadFile("/etc/security/limits.conf");
    test::WriteFile(work / "limits.conf", user + " hard nofile 321\n");
    MountOver("/etc/security/limits.conf", work / "limits.conf");

    pid_t session = -1;
    ASSERT_NO_FATAL_FAILURE(LogOn(user, session));
    const std::string pid = std::to_string(zavd->Pid());
    EXPECT_NE(test::Run("readlink /proc/" + pid + "/ns/mnt").output,
              test::Run("readlink /proc/self/ns/mnt").output)
        << "zavd has a mount namespace of its own";
    Type("echo limits $(ulimit -Hn) $(ulimit -Sn) loginuid $(cat /proc/self/loginuid) end");
    const std::vector<std::string> found =
        WaitForMatch("\nlimits ([0-9]+) ([0-9]+) loginuid ([0-9]+) end\n");
    ASSERT_EQ(found.size(), 4U) << terminal->Capture();
    EXPECT_EQ(found[1], "321") << "the hard limit from limits.conf";
    EXPECT_LE(std::stoul(found[2]), 321UL) << "the soft limit within it";
    LogOff(user, session);
    EXPECT_EQ(test::ReadFile("/etc/security/limits.conf"), system) << "the system's file as it was";

    const std::string settable = test::LoginUidSettable(uid);
    if (settable != "yes") {
        GTEST_SKIP() << "limits checked; the login uid not: " << settable;
    }
    EXPECT_EQ(found[3], std::to_string(uid)) << "pam_loginuid sets the user's uid";
}

}  // namespace
