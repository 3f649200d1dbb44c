// The log-on through the real PAM service "brisel" (config/pam.d/brisel, installed by
// tests/accounts.sh) with a real test account: the password check, the account rules
// (/etc/nologin, expiry, a password that must be changed), and the session the shell
// starts in (limits, login uid, environment). Changes to the system's files are made
// in a mount namespace of the test's own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <security/pam_appl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "support/LogInRecords.h"
#include "support/TestSupport.h"
#include "win32/HandleTable.h"
#include "win32/IsolatedChild.h"
#include "win32/PamErrorCode.h"
#include "win32/PamSession.h"
#include "win32/Spawn.h"
#include "win32/TokenObject.h"
#include "win32/Win32.h"

namespace {

// No other test logs on with this account, so its password and records are this test's.
constexpr const char* kUser = "zavtest30";

std::string PasswordOf(const std::string& user) {
    std::istringstream lines(test::ReadFile(ZAV_ACCOUNTS_FILE));
    std::string name;
    std::string password;
    while (lines >> name >> password) {
        if (name == user) {
            return password;
        }
    }
    return "";
}

// A fact the child reported, or "(none)".
std::string At(const test::IsolatedChild::Facts& facts, const std::string& name) {
    const auto found = facts.find(name);
    return found != facts.end() ? found->second : "(none)";
}

std::string Code(DWORD code) {
    return std::to_string(code);
}

std::string PamCode(int result) {
    return Code(PamErrorCode(result));
}

// Replaces one field (0 is the name) of the account's line in /etc/shadow.
void SetShadowField(const std::string& user, std::size_t field, const std::string& value) {
    std::istringstream in(test::ReadFile("/etc/shadow"));
    std::string out;
    std::string line;
    while (std::getline(in, line)) {
        if (line.starts_with(user + ":")) {
            std::vector<std::string> fields;
            std::size_t at = 0;
            for (std::size_t colon = line.find(':'); colon != std::string::npos;
                 colon = line.find(':', at)) {
                fields.push_back(line.substr(at, colon - at));
                at = colon + 1;
            }
            fields.push_back(line.substr(at));
            fields.at(field) = value;
            line.clear();
            for (std::size_t i = 0; i < fields.size(); ++i) {
                line += (i == 0 ? "" : ":") + fields[i];
            }
        }
        out += line + "\n";
    }
    test::WriteFile("/etc/shadow", out);
}

// Everything a program writes to the terminal until it has closed it.
std::string ReadTerminal(int master, int seconds) {
    std::string output;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{master, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            return output;
        }
        char buffer[4096];
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n <= 0) {
            return output;  // EIO: the last holder of the terminal's side is gone
        }
        output.append(buffer, static_cast<std::size_t>(n));
    }
}

// The line of output that starts with prefix, without it and the line's end.
std::string LineAfter(const std::string& output, const std::string& prefix) {
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.starts_with(prefix)) {
            return line.substr(prefix.size());
        }
    }
    return "(none)";
}

class PamSessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "PAM's account checks and sessions need root";
        }
        password = PasswordOf(kUser);
        const passwd* entry = ::getpwnam(kUser);
        if (password.empty() || entry == nullptr) {
            GTEST_SKIP() << "no test account " << kUser << " (tests/accounts.sh makes it)";
        }
        uid = entry->pw_uid;
        gid = entry->pw_gid;
    }

    // Authenticate's answer for the account in a child whose /etc is overlaid and
    // changed by change.
    test::IsolatedChild::Facts Refusal(const std::function<void()>& change) {
        return test::IsolatedChild().Run([&](test::IsolatedChild& child) {
            if (!child.Overlay("/etc")) {
                child.Fact("skip", "cannot overlay /etc here");
                return;
            }
            change();
            PamSession pam;
            child.Fact("accepted",
                       pam.Authenticate(kUser, password.c_str(), "192.0.2.7", "/dev/pts/0") ? "yes"
                                                                                            : "no");
            child.Fact("code", Code(GetLastError()));
        });
    }

    std::string password;
    uid_t uid = 0;
    gid_t gid = 0;
};

TEST_F(PamSessionTest, ChecksThePasswordOnceAndNamesTheAccount) {
    PamSession good;
    ASSERT_TRUE(good.Authenticate(kUser, password.c_str(), "192.0.2.7", "/dev/pts/0"))
        << GetLastError();
    EXPECT_EQ(good.Name(), kUser);
    EXPECT_FALSE(good.IsOpen());
    // One check per transaction.
    EXPECT_FALSE(good.Authenticate(kUser, password.c_str(), "", ""));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EPERM));

    PamSession wrong;
    EXPECT_FALSE(wrong.Authenticate(kUser, "not the password", "", ""));
    EXPECT_EQ(GetLastError(), PamErrorCode(PAM_AUTH_ERR));
    EXPECT_FALSE(wrong.Open());  // no session without a log-on
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EPERM));

    // A name nobody has is refused exactly like a wrong password.
    PamSession unknown;
    EXPECT_FALSE(unknown.Authenticate("zavnosuchaccount", password.c_str(), "", ""));
    EXPECT_EQ(GetLastError(), PamErrorCode(PAM_AUTH_ERR));
}

TEST_F(PamSessionTest, AccountRulesRefuseAGoodPassword) {
    const auto unchanged = Refusal([] {});
    if (unchanged.contains("skip")) {
        GTEST_SKIP() << At(unchanged, "skip");
    }
    ASSERT_FALSE(unchanged.contains("error")) << At(unchanged, "error");
    EXPECT_EQ(At(unchanged, "accepted"), "yes");

    const auto nologin = Refusal([] { test::WriteFile("/etc/nologin", "closed for a test\n"); });
    ASSERT_FALSE(nologin.contains("error")) << At(nologin, "error");
    EXPECT_EQ(At(nologin, "accepted"), "no");
    EXPECT_EQ(At(nologin, "code"), PamCode(PAM_AUTH_ERR));

    const auto expired = Refusal([] { SetShadowField(kUser, 7, "1"); });
    ASSERT_FALSE(expired.contains("error")) << At(expired, "error");
    EXPECT_EQ(At(expired, "accepted"), "no");
    // pam_unix refuses an expired account already at the password, like a wrong one.
    EXPECT_TRUE(At(expired, "code") == PamCode(PAM_AUTH_ERR) ||
                At(expired, "code") == PamCode(PAM_ACCT_EXPIRED))
        << At(expired, "code");

    // A password that must be changed first: the session has no way to change it.
    const auto mustChange = Refusal([] { SetShadowField(kUser, 2, "0"); });
    ASSERT_FALSE(mustChange.contains("error")) << At(mustChange, "error");
    EXPECT_EQ(At(mustChange, "accepted"), "no");
    EXPECT_EQ(At(mustChange, "code"), PamCode(PAM_NEW_AUTHTOK_REQD));
}

// As the privileged side does it: the log-on, the session opened in this process, the
// shell forked after it; the shell runs with the session's limits, login uid and
// environment.
TEST_F(PamSessionTest, ShellStartsInTheOpenedSession) {
    const auto facts = test::IsolatedChild().Run([&](test::IsolatedChild& child) {
        if (!child.Overlay("/etc")) {
            child.Fact("skip", "cannot overlay /etc here");
            return;
        }
        test::WriteFile("/etc/security/limits.conf", std::string(kUser) + " hard nofile 321\n");
        test::WriteFile("/etc/environment",
                        "PAM_PROBE=from-pam\nTERM=vt52\nPATH=/opt/pam/bin:/usr/bin:/bin\n");
        child.Fact("loginuid_settable", test::LoginUidSettable(uid));
        const std::vector<gid_t> ownGroups = [] {
            std::vector<gid_t> groups(static_cast<std::size_t>(::getgroups(0, nullptr)));
            groups.resize(static_cast<std::size_t>(
                ::getgroups(static_cast<int>(groups.size()), groups.data())));
            return groups;
        }();

        ::setenv("ZAV_IP", "192.0.2.7", 1);
        HANDLE token = nullptr;
        if (LogonUserA(kUser, nullptr, password.c_str(), LOGON32_LOGON_INTERACTIVE,
                       LOGON32_PROVIDER_DEFAULT, &token) == FALSE) {
            child.Fact("error", "LogonUserA: " + Code(GetLastError()));
            return;
        }
        const auto account = HandleTable::Instance().Get<TokenObject>(token);
        if (!account->pam) {
            child.Fact("error", "the token holds no PAM transaction");
            return;
        }
        PamSession& pam = *account->pam;
        if (!pam.Open()) {
            child.Fact("error", "Open: " + Code(GetLastError()));
            return;
        }
        child.Fact("open_again", pam.Open() ? "yes" : "no");
        child.Fact("in_own_group", std::ranges::count(pam.Groups(), gid) == 1 ? "yes" : "no");
        std::vector<gid_t> groupsNow(ownGroups.size() + 64);
        groupsNow.resize(static_cast<std::size_t>(
            ::getgroups(static_cast<int>(groupsNow.size()), groupsNow.data())));
        child.Fact("groups_back", groupsNow == ownGroups ? "yes" : "no");
        rlimit files{};
        ::getrlimit(RLIMIT_NOFILE, &files);
        child.Fact("own_hard_nofile", std::to_string(files.rlim_max));
        child.Fact("own_loginuid", test::ReadFile("/proc/self/loginuid"));
        for (const std::string& variable : pam.Environment()) {
            child.Fact("pam_env", variable + "\n");
        }

        const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
            child.Fact("error", "no pseudo-terminal");
            return;
        }
        const UniqueFd masterFd(master);
        UniqueFd slave(::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC));
        ConsoleAttachment attachment;
        attachment.slave = slave.Get();
        ::tcgetattr(slave.Get(), &attachment.mode);
        std::string line =
            "/bin/sh -c 'echo loginuid=$(cat /proc/self/loginuid); echo hard=$(ulimit -Hn); "
            "env'";
        line.push_back('\0');
        PROCESS_INFORMATION shell{};
        if (StartOnTerminal(token, line.data(), nullptr, attachment, &shell) == FALSE) {
            child.Fact("error", "StartOnTerminal: " + Code(GetLastError()));
            return;
        }
        slave.Reset();
        child.Fact("output", ReadTerminal(masterFd.Get(), 60));
        DWORD code = 259;
        if (WaitForSingleObject(shell.hProcess, 30000) == WAIT_OBJECT_0) {
            GetExitCodeProcess(shell.hProcess, &code);
        }
        child.Fact("exit", std::to_string(code));
        // The shell's group (where there are groups) goes with its handles.
        CloseHandle(shell.hProcess);
        CloseHandle(shell.hThread);
        pam.Close();
        pam.Close();
        child.Fact("closed", pam.IsOpen() ? "no" : "yes");
        CloseHandle(token);
    });
    if (facts.contains("skip")) {
        GTEST_SKIP() << At(facts, "skip");
    }
    ASSERT_FALSE(facts.contains("error")) << At(facts, "error");
    EXPECT_EQ(At(facts, "open_again"), "yes");
    EXPECT_EQ(At(facts, "in_own_group"), "yes");
    EXPECT_EQ(At(facts, "groups_back"), "yes");
    EXPECT_EQ(At(facts, "closed"), "yes");
    // limits.conf applies to the process that opened the session and to the shell.
    EXPECT_EQ(At(facts, "own_hard_nofile"), "321");
    const std::string output = At(facts, "output");
    EXPECT_EQ(At(facts, "exit"), "0") << output;
    EXPECT_EQ(LineAfter(output, "hard="), "321") << output;
    // pam_env's files: the administrator's PATH wins, as under sshd; the console's type
    // stays the session's.
    EXPECT_NE(At(facts, "pam_env").find("PAM_PROBE=from-pam\n"), std::string::npos);
    EXPECT_EQ(LineAfter(output, "PAM_PROBE="), "from-pam") << output;
    EXPECT_EQ(LineAfter(output, "PATH="), "/opt/pam/bin:/usr/bin:/bin") << output;
    EXPECT_EQ(LineAfter(output, "TERM="), "xterm") << output;
    EXPECT_EQ(LineAfter(output, "USER="), kUser) << output;
    EXPECT_EQ(LineAfter(output, "ZAV_IP="), "192.0.2.7") << output;
    if (At(facts, "loginuid_settable") != "yes") {
        GTEST_SKIP() << "login uid: " << At(facts, "loginuid_settable");
    }
    EXPECT_EQ(At(facts, "own_loginuid"), std::to_string(uid));
    EXPECT_EQ(LineAfter(output, "loginuid="), std::to_string(uid)) << output;
}

}  // namespace
