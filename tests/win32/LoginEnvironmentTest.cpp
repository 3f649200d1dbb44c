// What a log-in adds to the shell's environment: accept_env's patterns, the checks of the
// client's variables, and the variables as sshd sets them.
#include "win32/LoginEnvironment.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Variable = LoginEnvironment::Variable;

TEST(LoginEnvironment, AcceptEnvMatchesWholeNamesByGlobs) {
    const std::string shipped = "LANG LC_*";
    EXPECT_TRUE(LoginEnvironment::Accepts(shipped, "LANG"));
    EXPECT_TRUE(LoginEnvironment::Accepts(shipped, "LC_ALL"));
    EXPECT_TRUE(LoginEnvironment::Accepts(shipped, "LC_"));
    EXPECT_FALSE(LoginEnvironment::Accepts(shipped, "LANGUAGE"));
    EXPECT_FALSE(LoginEnvironment::Accepts(shipped, "XLANG"));
    EXPECT_FALSE(LoginEnvironment::Accepts(shipped, "lc_all"));
    EXPECT_FALSE(LoginEnvironment::Accepts(shipped, "LD_PRELOAD"));
    EXPECT_FALSE(LoginEnvironment::Accepts("", "LANG"));
    EXPECT_FALSE(LoginEnvironment::Accepts("   ", "LANG"));
    EXPECT_TRUE(LoginEnvironment::Accepts("  A\tB  ", "B"));
    EXPECT_TRUE(LoginEnvironment::Accepts("X?Z", "XYZ"));
    EXPECT_FALSE(LoginEnvironment::Accepts("X?Z", "XZ"));
    EXPECT_TRUE(LoginEnvironment::Accepts("*_TZ*", "MY_TZ"));
    EXPECT_TRUE(LoginEnvironment::Accepts("a*b*c", "aXbYbZc"));
    EXPECT_FALSE(LoginEnvironment::Accepts("a*b*c", "aXbYbZ"));
    EXPECT_TRUE(LoginEnvironment::Accepts("*", "ANY"));
    // No character classes: a bracket is itself.
    EXPECT_FALSE(LoginEnvironment::Accepts("[L]ANG", "LANG"));
    EXPECT_TRUE(LoginEnvironment::Accepts("[L]ANG", "[L]ANG"));
    // A long name against many stars stays quick (no backtracking blow-up).
    EXPECT_FALSE(LoginEnvironment::Accepts(std::string(40, '*') + "b", std::string(4000, 'a')));
}

TEST(LoginEnvironment, TheClientsVariablesAreCheckedAndBounded) {
    EXPECT_TRUE(LoginEnvironment::WellFormed("LANG", "C.UTF-8"));
    EXPECT_TRUE(LoginEnvironment::WellFormed("LANG", ""));
    EXPECT_FALSE(LoginEnvironment::WellFormed("", "x"));
    EXPECT_FALSE(LoginEnvironment::WellFormed("A=B", "x"));
    EXPECT_FALSE(LoginEnvironment::WellFormed(std::string("LA\0NG", 5), "x"));
    EXPECT_FALSE(LoginEnvironment::WellFormed("LANG", std::string("C\0x", 3)));
    EXPECT_TRUE(LoginEnvironment::WellFormed(std::string(LoginEnvironment::kMaxName, 'N'), ""));
    EXPECT_FALSE(
        LoginEnvironment::WellFormed(std::string(LoginEnvironment::kMaxName + 1, 'N'), ""));
    EXPECT_FALSE(
        LoginEnvironment::WellFormed("V", std::string(LoginEnvironment::kMaxValue + 1, 'v')));

    std::vector<Variable> many(LoginEnvironment::kMaxVariables, Variable{"LC_X", "v"});
    EXPECT_TRUE(LoginEnvironment::AllAccepted("LC_*", many));
    many.push_back(Variable{"LC_X", "v"});
    EXPECT_FALSE(LoginEnvironment::AllAccepted("LC_*", many));
    const std::vector<Variable> large(5, Variable{"LC_X", std::string(4000, 'v')});
    EXPECT_FALSE(LoginEnvironment::AllAccepted("LC_*", large)) << "more than kMaxBytes";
    EXPECT_FALSE(LoginEnvironment::AllAccepted("LC_*", {{"LANG", "C"}}));
    EXPECT_FALSE(LoginEnvironment::AllAccepted("*", {{"A=B", "C"}}));
    EXPECT_TRUE(LoginEnvironment::AllAccepted("", {}));
}

TEST(LoginEnvironment, SetsTheConnectionTheTerminalAndTheClientsVariablesAsSshd) {
    LoginEnvironment login;
    login.clientAddress = "192.0.2.7";
    login.clientPort = "50022";
    login.serverAddress = "198.51.100.1";
    login.serverPort = "2222";
    login.terminal = "/dev/pts/7";
    login.variables = {{"LANG", "C.UTF-8"},   {"HOME", "/tmp"}, {"SSH_TTY", "/dev/null"},
                       {"ZAV_IP", "1.2.3.4"}, {"TERM", "dumb"}, {"PATH", "/x"},
                       {"A=B", "x"},          {"LC_TIME", "C"}};
    // What pam_env set loses to the client's; the account's own variables stay.
    std::vector<std::string> environment = {"HOME=/home/u", "TERM=xterm", "PATH=/usr/bin",
                                            "LANG=en_GB.UTF-8"};
    login.ApplyTo(environment);
    EXPECT_EQ(environment,
              (std::vector<std::string>{
                  "HOME=/home/u", "TERM=xterm", "PATH=/usr/bin", "LANG=C.UTF-8", "LC_TIME=C",
                  "SSH_CLIENT=192.0.2.7 50022 2222",
                  "SSH_CONNECTION=192.0.2.7 50022 198.51.100.1 2222", "SSH_TTY=/dev/pts/7"}));
    // Without a terminal, no SSH_TTY.
    login.terminal.clear();
    login.variables.clear();
    std::vector<std::string> plain;
    login.ApplyTo(plain);
    EXPECT_EQ(plain,
              (std::vector<std::string>{"SSH_CLIENT=192.0.2.7 50022 2222",
                                        "SSH_CONNECTION=192.0.2.7 50022 198.51.100.1 2222"}));
}

}  // namespace
