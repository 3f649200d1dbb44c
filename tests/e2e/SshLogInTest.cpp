// The log-in's environment and what an interactive log-on shows, as Debian's sshd gives
// them: SSH_CONNECTION, SSH_CLIENT and SSH_TTY, the client's variables that accept_env
// names (and no others, and nothing of the session's own LANG or directory), the message
// of the day and the last log-in, each switched by its setting. zavd, brisel, the OpenSSH
// client in tmux and real PAM, with the accounts zavtest51 to zavtest53.
#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "support/BriselSession.h"

namespace {

using test::Password;

// bash without start-up files, in the home directory the log-in gives (no cd of its own,
// which would set OLDPWD).
const char* const kShell = "/bin/sh -c 'PS1=\"$USER> \" exec /bin/bash --norc -i'";

class SshLogIn : public test::BriselSession {
  protected:
    // An OpenSSH client for user with the variables before its command line in its own
    // environment and its ssh options, logged on; returns at the shell's prompt (or, with
    // a command, once the password was typed).
    void LogOn(const std::string& user, const std::string& environment = "",
               const std::string& options = "", const std::string& command = "") {
        terminal = std::make_unique<test::Tmux>(environment + " " +
                                                    test::SshCommand(zavd->Port(), user, options) +
                                                    " " + command + "; echo ssh-exit=$?",
                                                100, 30);
        ASSERT_TRUE(terminal->WaitForText("Password:")) << terminal->Capture();
        Type(Password(user));
        if (command.empty()) {
            ASSERT_TRUE(terminal->WaitForText(user + ">")) << terminal->Capture();
        }
    }

    void LogOff(const std::string& user) {
        Type("exit");
        EXPECT_TRUE(terminal->WaitForText("ssh-exit=0")) << terminal->Capture();
        EXPECT_TRUE(NothingLeft(user));
    }

    // The message of the day of the test's own, mounted over the system's in a mount
    // namespace that zavd and its sessions have to themselves; false when there is none.
    bool OwnMotd(const std::string& text) {
        if (::access("/etc/motd", F_OK) != 0 ||
            test::Run("unshare -m --propagation private true 2>/dev/null").status != 0) {
            return false;
        }
        test::WriteFile(work / "motd", text + "\n");
        MountOver("/etc/motd", work / "motd");
        return true;
    }
};

TEST_F(SshLogIn, TheConnectionTheTerminalAndOnlyTheAcceptedVariables) {
    const std::string user = "zavtest51";
    // The session's own LANG is not the one the client sends.
    zavdRun.wrapper = {"/usr/bin/env", "LANG=C"};
    ASSERT_NO_FATAL_FAILURE(
        StartService({{"shell_command", kShell}, {"accept_env", "\"LANG  LC_T?ME\""}}, {}));
    ASSERT_NO_FATAL_FAILURE(
        LogOn(user, "LANG=C.UTF-8 LC_TIME=C.UTF-8 ZAVTEST_UNLISTED=dropped",
              "-o SendEnv=LANG -o SendEnv=LC_TIME -o SendEnv=ZAVTEST_UNLISTED"));
    const std::string port = std::to_string(zavd->Port());
    // One value a line, each shorter than the pane's width.
    Type(
        "printf '%s\\n' \"c=[$SSH_CONNECTION]\" \"l=[$SSH_CLIENT]\" \"t=[$SSH_TTY] [$(tty)]\" "
        "\"lang=[$LANG] time=[$LC_TIME] un=[${ZAVTEST_UNLISTED-unset}]\" \"at=[$(pwd)] [$HOME]\"");
    const std::vector<std::string> found = WaitForMatch(
        "\nc=\\[127\\.0\\.0\\.1 ([0-9]+) 127\\.0\\.0\\.1 ([0-9]+)\\]\nl=\\[(.*)\\]\nt=\\[(.*)\\] "
        "\\[(.*)\\]\nlang=\\[(.*)\\] time=\\[(.*)\\] un=\\[(.*)\\]\nat=\\[(.*)\\] \\[(.*)\\]\n");
    ASSERT_EQ(found.size(), 11U) << terminal->Capture();
    EXPECT_EQ(found[2], port);
    EXPECT_EQ(found[3], "127.0.0.1 " + found[1] + " " + port);
    // The client's port as the session saw it.
    EXPECT_NE(File("brisel.log").find("connected to 127.0.0.1:" + found[1] + "\r\n"),
              std::string::npos)
        << File("brisel.log");
    EXPECT_TRUE(found[4].starts_with("/dev/pts/")) << found[4];
    EXPECT_EQ(found[4], found[5]);
    EXPECT_EQ(found[6], "C.UTF-8") << "the client's LANG, not the session's";
    EXPECT_EQ(found[7], "C.UTF-8");
    EXPECT_EQ(found[8], "unset") << "a variable accept_env does not name";
    EXPECT_EQ(found[9], found[10]) << "the shell starts at home";
    // Nothing of the session's directory: cd - has nowhere to go.
    Type("cd -; echo cd-done");
    ASSERT_TRUE(terminal->WaitForText("\ncd-done\n")) << terminal->Capture();
    EXPECT_NE(terminal->Capture().find("OLDPWD not set"), std::string::npos) << terminal->Capture();
    LogOff(user);

    // Sent nothing: the shell's LANG is the system's (pam_env), never the session's.
    const std::string system =
        test::Run("env -i sh -c '. /etc/default/locale 2>/dev/null; echo \"[${LANG-unset}]\"'")
            .output;
    ASSERT_NO_FATAL_FAILURE(LogOn(user));
    Type("echo \"lang=[${LANG-unset}] un=[${ZAVTEST_UNLISTED-unset}]\"");
    const std::vector<std::string> plain = WaitForMatch("\nlang=(\\[.*\\]) un=\\[(.*)\\]\n");
    ASSERT_EQ(plain.size(), 3U) << terminal->Capture();
    EXPECT_EQ(plain[1] + "\n", system);
    LogOff(user);
    PasswordNowhere(user);
}

TEST_F(SshLogIn, TheMessageOfTheDayAndTheLastLogInOnAnInteractiveLogOn) {
    const std::string user = "zavtest52";
    const std::string motd = "zav-test-motd-" + std::to_string(::getpid());
    if (!OwnMotd(motd)) {
        GTEST_SKIP() << "no /etc/motd or mount namespace here";
    }
    ASSERT_NO_FATAL_FAILURE(StartService({{"shell_command", kShell},
                                          {"exec_commands", "1"},
                                          {"print_motd", "1"},
                                          {"print_last_log", "1"}},
                                         {}));
    const std::string system = test::ReadFile("/etc/motd");
    ASSERT_NO_FATAL_FAILURE(LogOn(user));
    EXPECT_NE(terminal->Capture().find(motd), std::string::npos) << terminal->Capture();
    LogOff(user);
    EXPECT_EQ(test::ReadFile("/etc/motd"), system) << "the system's file as it was";

    // The second log-on shows the first, above the prompt, after the message of the day.
    ASSERT_NO_FATAL_FAILURE(LogOn(user));
    const std::string pane = terminal->Capture();
    const std::regex last(
        "\nLast login: [A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] "
        "[0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4} from 127\\.0\\.0\\.1\n");
    std::smatch match;
    if (::access("/var/log/lastlog", F_OK) == 0) {
        ASSERT_TRUE(std::regex_search(pane, match, last)) << pane;
        EXPECT_LT(pane.find(motd), static_cast<std::size_t>(match.position(0))) << pane;
        EXPECT_LT(static_cast<std::size_t>(match.position(0)), pane.rfind(user + ">")) << pane;
    }
    LogOff(user);

    // A command, even on a terminal, gets neither.
    ASSERT_NO_FATAL_FAILURE(LogOn(user, "", "", "'echo command-ran'"));
    ASSERT_TRUE(terminal->WaitForText("ssh-exit=0")) << terminal->Capture();
    EXPECT_NE(terminal->Capture().find("command-ran"), std::string::npos) << terminal->Capture();
    EXPECT_EQ(terminal->Capture().find(motd), std::string::npos) << terminal->Capture();
    EXPECT_EQ(terminal->Capture().find("Last login:"), std::string::npos) << terminal->Capture();
    EXPECT_TRUE(NothingLeft(user));
}

TEST_F(SshLogIn, SwitchedOffNeitherShows) {
    const std::string user = "zavtest53";
    const std::string motd = "zav-test-motd-" + std::to_string(::getpid());
    if (!OwnMotd(motd)) {
        GTEST_SKIP() << "no /etc/motd or mount namespace here";
    }
    ASSERT_NO_FATAL_FAILURE(StartService(
        {{"shell_command", kShell}, {"print_motd", "0"}, {"print_last_log", "0"}}, {}));
    // Twice: the second has a last log-in to show.
    for (int i = 0; i < 2; ++i) {
        ASSERT_NO_FATAL_FAILURE(LogOn(user));
        EXPECT_EQ(terminal->Capture().find(motd), std::string::npos) << terminal->Capture();
        EXPECT_EQ(terminal->Capture().find("Last login:"), std::string::npos)
            << terminal->Capture();
        LogOff(user);
    }
}

}  // namespace
