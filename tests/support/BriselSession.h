// A whole session for tests: zavd hands the connection to brisel, the real OpenSSH client
// runs in a tmux pane, and a real account (created by tests/accounts.sh) logs on.
#pragma once

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/TestSupport.h"
#include "support/Tmux.h"
#include "support/Zavd.h"

namespace test {

inline const std::string kConfig = ZAV_CONFIG_DIR;

// The account's password for this run, made at random when the accounts were created.
inline std::string Password(const std::string& user) {
    std::istringstream lines(test::ReadFile(ZAV_ACCOUNTS_FILE));
    std::string name;
    std::string password;
    while (lines >> name >> password) {
        if (name == user) {
            return password;
        }
    }
    return "no password for " + user;
}

class BriselSession : public ::testing::Test {
  protected:
    // The rows of a pane's text.
    static std::vector<std::string> Rows(const std::string& pane) {
        std::vector<std::string> rows;
        std::size_t start = 0;
        for (std::size_t end = pane.find('\n'); end != std::string::npos;
             start = end + 1, end = pane.find('\n', start)) {
            rows.push_back(pane.substr(start, end - start));
        }
        return rows;
    }
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "log-ons need root";
        }
    }

    // Every session ends in order: with the client gone, each ends with exit code 0,
    // none by a signal (zavd reports every other end).
    void TearDown() override {
        if (!zavd || zavd->Pid() <= 0) {
            return;
        }
        terminal.reset();
        const std::string sessions = "pgrep -P " + std::to_string(zavd->Pid()) + " >/dev/null";
        for (int i = 0; i < 200 && test::Run(sessions).status == 0; ++i) {
            ::usleep(50000);
        }
        if (!sessionKilled) {
            EXPECT_EQ(zavd->Output().find(": ended, "), std::string::npos) << zavd->Output();
        }
    }

    // Starts zavd and brisel with the settings (the defaults below, changed by extra),
    // and an ssh client for user in a 100 x 30 terminal.
    void Start(const std::string& user, const std::map<std::string, std::string>& extra = {},
               std::vector<std::string> options = {}) {
        StartService(extra, std::move(options));
        if (zavd && zavd->Port() > 0) {
            terminal = Connect(user);
        }
    }

    // Waits for the pane to match pattern; the match's groups ("" for the whole).
    std::vector<std::string> WaitForMatch(const std::string& pattern) {
        const std::regex expression(pattern);
        std::vector<std::string> groups;
        terminal->WaitFor([&](const std::string& pane) {
            std::smatch match;
            if (!std::regex_search(pane, match, expression)) {
                return false;
            }
            groups.assign(match.begin(), match.end());
            return true;
        });
        return groups;
    }

    // zavd, and with it the sessions and PAM, will run in a mount namespace of their own
    // where file is mounted over target (the system's file stays as it is).
    void MountOver(const std::string& target, const std::string& file) {
        zavdRun.wrapper = {"/usr/bin/unshare",
                           "-m",
                           "--propagation",
                           "private",
                           "/bin/sh",
                           "-c",
                           "mount --bind \"$0\" " + target + " && exec \"$@\"",
                           file};
    }

    // Another client in a pane of its own, to the same service.
    std::unique_ptr<Tmux> Connect(const std::string& user, int columns = 100, int rows = 30) {
        return std::make_unique<Tmux>(
            SshCommand(zavd->Port(), user, clientOptions) + "; echo ssh-exit=$?", columns, rows);
    }

    void StartService(const std::map<std::string, std::string>& extra,
                      std::vector<std::string> options) {
        std::string session = BRISEL_PATH;
        std::string config = kConfig;
        if (!serviceAccount.empty()) {
            // The account may not reach the build (in a private directory, such as a home
            // of mode 0700): it runs copies of zavd, brisel and the key tables.
            reachable = std::make_unique<test::TempDir>();
            const std::filesystem::path copies = reachable->Path();
            std::filesystem::permissions(copies, std::filesystem::perms(0755));
            for (const std::string& file :
                 {std::string(ZAVD_PATH), session, kConfig + "/zav_keys.ini",
                  kConfig + "/zav_telnet.ini"}) {
                std::filesystem::copy_file(file, copies / std::filesystem::path(file).filename());
            }
            zavdRun.program = copies / "zavd";
            session = copies / "brisel";
            config = copies.string();
        }
        std::map<std::string, std::string> settings = {
            {"rsakey_file", "zav_key"},
            {"welcome_message", "\"\\nWelcome %ZAV_VERSION%\\n\""},
            {"login_message", "\"login: \""},
            {"pass_message", "\"\\nPassword: \""},
            {"pass_timeout_message", "\"\\nNo password in time.\\n\""},
            {"idle_timeout_message", "\"\\nIdle too long.\\n\""},
            {"service_stopped_message", "\"\\nService stopped.\\n\""},
            {"login_successfull_message", "\\n"},
            {"max_login_attempts", "3"},
            {"shell_command", "/bin/sh -c 'cd; PS1=\"$USER> \" exec /bin/bash --norc -i'"},
            {"trace_level", "0"},
            {"trace_file", "brisel.trc"},
            {"log_file", "brisel.log"},
            {"error_file", "brisel.err"},
            {"key_init", config + "/zav_keys.ini"},
            {"telnet_init", config + "/zav_telnet.ini"},
            {"screen_width", "80"},
            {"screen_height", "24"},
            {"buff_height", "300"},
            {"refresh_delay", "10"},
        };
        for (const auto& [key, value] : extra) {
            settings[key] = value;
        }
        std::string ini = "[ZTerm]\n";
        for (const auto& [key, value] : settings) {
            ini += key + "=" + value + "\n";
        }
        test::WriteFile(work / "zav.ini", ini);
        ASSERT_EQ(test::Run(std::string(ZAVD_PATH) + " --genkey --workdir " +
                            test::Quote(work.Path().string()))
                      .status,
                  0);
        options.insert(options.begin(), {"--session", session});
        uid_t uid = 0;
        gid_t gid = 0;
        if (!serviceAccount.empty()) {
            // The service's own account owns its work directory, as an installation would.
            const passwd* account = ::getpwnam(serviceAccount.c_str());
            ASSERT_NE(account, nullptr) << serviceAccount;
            uid = account->pw_uid;
            gid = account->pw_gid;
            ASSERT_EQ(test::Run("chown -R " + std::to_string(uid) + ":" + std::to_string(gid) +
                                " " + test::Quote(work.Path().string()))
                          .status,
                      0);
        }
        zavd = std::make_unique<test::Zavd>(work.Path().string(), options, "127.0.0.1:0", uid, gid,
                                            false, zavdRun);
        ASSERT_GT(zavd->Port(), 0) << zavd->Output();
    }

    void Type(const std::string& text) {
        terminal->Send(text, true);
        terminal->Send("Enter");
    }

    std::string File(const std::string& name) { return test::ReadFile(work / name); }

    // Waits for the session's log to hold text.
    bool WaitForLog(const std::string& text, int seconds = 30) {
        for (int i = 0; i < seconds * 20; ++i) {
            if (File("brisel.log").find(text) != std::string::npos) {
                return true;
            }
            ::usleep(50000);
        }
        return false;
    }

    // True once no process of user is left.
    // Up to 20 s: in the sanitizer build the worker's leak check at exit comes before the
    // monitor ends the user's processes, and takes seconds on a busy machine.
    static bool NothingLeft(const std::string& user) {
        for (int i = 0; i < 400; ++i) {
            if (test::Run("pgrep -u " + user + " >/dev/null").status == 1) {
                return true;
            }
            ::usleep(50000);
        }
        return false;
    }

    // The password appears in none of the session's files.
    void PasswordNowhere(const std::string& user) {
        for (const char* name : {"brisel.trc", "brisel.log", "brisel.err"}) {
            EXPECT_EQ(File(name).find(Password(user)), std::string::npos) << name;
            EXPECT_EQ(File(name).find(Password(user).substr(3)), std::string::npos) << name;
        }
    }

    test::TempDir work;
    std::unique_ptr<test::TempDir> reachable;  // the copies an account other than root runs
    std::string serviceAccount;                // runs zavd as this account when set (else as root)
    test::ZavdRun zavdRun;                     // how zavd runs beyond its arguments
    bool sessionKilled = false;                // a test killed a session on purpose
    std::unique_ptr<test::Zavd> zavd;
    std::unique_ptr<test::Tmux> terminal;
    // More options for the clients Connect starts.
    std::string clientOptions;
    // What a client with a UTF-8 locale sends (Debian's ssh_config sends LANG): the
    // shell's locale is the client's or the system's, never the session's own.
    static constexpr const char* kUtf8Client = "-o SetEnv=LANG=C.UTF-8";
};

}  // namespace test
