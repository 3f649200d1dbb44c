// The monitor's decisions without a split: what its settings allow, which of the worker's
// lines it writes, what its wire takes, and in which states its table allows each request.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "monitor/LoginBanner.h"
#include "monitor/MonitorPolicy.h"
#include "monitor/MonitorServer.h"
#include "monitor/MonitorWire.h"
#include "monitor/WorkerLines.h"

namespace {

MonitorPolicy Policy(bool exec) {
    MonitorPolicy policy;
    policy.shellCommand = "/bin/bash -l";
    policy.execCommands = exec;
    policy.clientAddress = "192.0.2.7";
    policy.clientPort = "5022";
    return policy;
}

TEST(MonitorPolicy, OnlyTheShellOrTheClientsCommandQuotedWhole) {
    const MonitorPolicy closed = Policy(false);
    EXPECT_TRUE(closed.AllowsCommandLine("/bin/bash -l"));
    EXPECT_EQ(closed.ShellCommandLine("id"), "/bin/bash -l");
    const MonitorPolicy open = Policy(true);
    EXPECT_FALSE(closed.AllowsCommandLine(open.ShellCommandLine("id")));
    for (const std::string& command : std::initializer_list<std::string>{
             "id", "echo 'a' \"b\"; exit", "x'\\''y", "'", "a\nb", "$(id)", "''"}) {
        const std::string line = open.ShellCommandLine(command);
        EXPECT_NE(line, "/bin/bash -l");
        EXPECT_TRUE(open.AllowsCommandLine(line)) << line;
    }
    const std::string prefix =
        open.ShellCommandLine("x").substr(0, open.ShellCommandLine("x").size() - 3);
    for (const std::string& tampered :
         {prefix, prefix + "''", prefix + "'a' 'b'", prefix + "'a'; id", prefix + "'a'\\''",
          prefix + "a", std::string("/bin/sh -c id"), prefix + "'a' ", " " + prefix + "'a'"}) {
        EXPECT_FALSE(open.AllowsCommandLine(tampered)) << tampered;
    }
}

TEST(MonitorPolicy, ListsWithoutRegardToCaseAndTheDomain) {
    MonitorPolicy policy = Policy(false);
    policy.allowedList = ":Alice:bob:";
    policy.forbiddenList = ":BOB:";
    std::string why;
    EXPECT_EQ(policy.AccountName("alice", why), "alice");
    EXPECT_EQ(why, "");
    EXPECT_EQ(policy.AccountName("Bob", why), ":Bob");
    EXPECT_EQ(why, "user in forbidden list");
    EXPECT_EQ(policy.AccountName("carol", why), ":carol");
    EXPECT_EQ(why, "user not in allowed list");
    policy.defaultDomain = "example.org";
    EXPECT_EQ(policy.AccountName("alice", why), "alice@example.org");
    EXPECT_EQ(policy.AcceptedLine("alice"), "login accepted: [ alice ] from 192.0.2.7 port 5022");
    EXPECT_EQ(policy.RefusedLine("x", "Authentication failure\r\n"),
              "login refused: [ x ] from 192.0.2.7 port 5022 - Authentication failure");
}

TEST(WorkerLines, OnlyThisSessionsLinesWithoutOutcomesOrControls) {
    const WorkerLines lines(4321, 4320);
    const std::string own = " 4321 : 4322 2026-12- 9 10: 0: 0   1 :  0:\t  ZBrisel::Run( ){\r\n";
    const std::string monitor = " 4320 : 4320 2026-12- 9 10: 0: 0   1 :  0:\tconnected\r\n";
    EXPECT_EQ(lines.Filter(own + monitor), own + monitor);
    for (const std::string& bad : std::initializer_list<std::string>{
             " 1234 : 4322 2026-12- 9 10: 0: 0   1 :  0:\tanother session\r\n",
             " 4321 : 4322 2026-12- 9 10: 0: 0   1 :  0:\tlogin refused: [ admin ]\r\n",
             " 4321 : 4322 2026-12- 9 10: 0: 0   1 :  0:\tx :0: login accepted: [ root ]\r\n",
             " 4321 : 4322 2026-12- 9 10: 0: 0   1 :  0:\tsplit\rline\r\n",
             " 4321 : 4322 2026-12- 9 10: 0: 0   1 :  0:\tdel\x7f\r\n",
             "43210 : 4322 2026-12- 9 10: 0: 0   1 :  0:\tlonger pid\r\n",
             " 4321 no prefix\r\n",
             "no pid at all\r\n",
         }) {
        EXPECT_EQ(lines.Filter(bad + own), own) << bad;
    }
    EXPECT_EQ(lines.Filter(own + own.substr(0, own.size() - 2)), own) << "unfinished lines wait";
}

TEST(MonitorWire, TakesWholeMessagesAndDecodesOnlyExactRequests) {
    std::string stream;
    for (const MonitorFields& fields :
         {MonitorWire::Encode(LogonRequest{"alice", "secret"}),
          MonitorWire::Encode(LogRequest{LineFile::Error, "x\r\n"})}) {
        const std::uint32_t header[2] = {1, static_cast<std::uint32_t>(fields.Bytes().size())};
        stream.append(reinterpret_cast<const char*>(header), sizeof header).append(fields.Bytes());
    }
    std::string_view bytes = stream;
    MonitorMessage message;
    ASSERT_TRUE(MonitorWire::Parse(bytes, message));
    LogonRequest logon;
    ASSERT_TRUE(MonitorWire::Decode(message.fields, logon));
    EXPECT_EQ(logon.user, "alice");
    EXPECT_EQ(logon.password, "secret");
    ASSERT_TRUE(MonitorWire::Parse(bytes, message));
    LogRequest log;
    ASSERT_TRUE(MonitorWire::Decode(message.fields, log));
    EXPECT_EQ(log.file, LineFile::Error);
    EXPECT_TRUE(bytes.empty());
    EXPECT_FALSE(MonitorWire::Parse(bytes, message));

    // A header that promises more than the limit, or more than came.
    const std::uint32_t huge[2] = {1, MonitorWire::kMaxPayload + 1};
    std::string_view tooLong(reinterpret_cast<const char*>(huge), sizeof huge);
    EXPECT_FALSE(MonitorWire::Parse(tooLong, message));
    const std::string cut = stream.substr(0, 12);
    std::string_view partial = cut;
    EXPECT_FALSE(MonitorWire::Parse(partial, message));

    auto decodes = [](MonitorFields fields, auto request) {
        return MonitorWire::Decode(fields, request);
    };
    EXPECT_FALSE(
        decodes(MonitorFields().Add(std::string("nul\0byte", 8)).Add("pw"), LogonRequest{}));
    EXPECT_FALSE(decodes(MonitorFields().Add("").Add("pw"), LogonRequest{}));
    EXPECT_FALSE(decodes(MonitorFields().Add("a").Add("pw").Add("extra"), LogonRequest{}));
    EXPECT_FALSE(decodes(MonitorFields().Add(std::string(257, 'a')).Add("pw"), LogonRequest{}));
    EXPECT_FALSE(decodes(MonitorFields().Add(std::uint64_t{3}).Add("x"), LogRequest{}));
    EXPECT_FALSE(decodes(MonitorFields().Add("sh").Add("short modes"), StartShellRequest{}));
    // The client's terminal type is a plain name or nothing: never a path.
    const std::string modes(sizeof(termios), '\0');
    const std::uint64_t none = 0;
    const auto shell = [&](const std::string& type, std::uint64_t streams) {
        return MonitorFields().Add("sh").Add(modes).Add(type).Add(none).Add(streams);
    };
    EXPECT_TRUE(decodes(shell("xterm-256color", 0), StartShellRequest{}));
    EXPECT_TRUE(decodes(shell("", 1), StartShellRequest{}));
    EXPECT_FALSE(
        decodes(MonitorFields().Add("sh").Add(modes).Add("").Add(none), StartShellRequest{}));
    for (const char* type : {"../../tmp/x", "x/y", "-x", "a b", "xterm\x1b"}) {
        EXPECT_FALSE(decodes(shell(type, 0), StartShellRequest{})) << type;
    }
    // On pipes or on the terminal, nothing else.
    EXPECT_FALSE(decodes(shell("", 2), StartShellRequest{}));
    EXPECT_FALSE(decodes(MonitorFields().Add("sh").Add(modes).Add(""), StartShellRequest{}));
    for (const std::uint64_t group : {0ULL, 1ULL, 0xFFFFFFFFULL, 0x80000000ULL}) {
        MonitorFields fields = MonitorFields().Add(group);
        pid_t value = 0;
        EXPECT_FALSE(MonitorWire::DecodeGroup(fields, value)) << group;
    }
    // A flag is 0 or 1 alone.
    for (const std::uint64_t value : {0ULL, 1ULL, 2ULL, 0xFFFFFFFFFFFFFFFFULL}) {
        MonitorFields fields = MonitorFields().Add(value);
        bool flag = false;
        EXPECT_EQ(MonitorWire::DecodeFlag(fields, flag), value <= 1) << value;
        EXPECT_EQ(flag, value == 1) << value;
    }
    MonitorFields twice = MonitorFields().Add(std::uint64_t{1}).Add(std::uint64_t{1});
    MonitorFields empty;
    bool flag = false;
    EXPECT_FALSE(MonitorWire::DecodeFlag(twice, flag));
    EXPECT_FALSE(MonitorWire::DecodeFlag(empty, flag));
}

TEST(MonitorWire, TheClientsVariablesTravelWholeAndWellFormed) {
    StartShellRequest sent{"sh", termios{}, "xterm", {{"LANG", "C.UTF-8"}, {"LC_ALL", ""}}};
    MonitorFields fields = MonitorWire::Encode(sent);
    StartShellRequest got;
    ASSERT_TRUE(MonitorWire::Decode(fields, got));
    EXPECT_EQ(got.variables, sent.variables);

    const std::string modes(sizeof(termios), '\0');
    auto decodes = [&](std::uint64_t count, const std::vector<std::string>& strings) {
        MonitorFields request = MonitorFields().Add("sh").Add(modes).Add("").Add(count);
        for (const std::string& text : strings) {
            request.Add(text);
        }
        request.Add(std::uint64_t{0});  // on the terminal
        StartShellRequest decoded;
        return MonitorWire::Decode(request, decoded);
    };
    EXPECT_TRUE(decodes(1, {"LANG", "C"}));
    EXPECT_FALSE(decodes(1, {"LANG"})) << "a name without its value";
    EXPECT_FALSE(decodes(2, {"LANG", "C"})) << "fewer than counted";
    EXPECT_FALSE(decodes(1, {"LANG", "C", "extra"}));
    EXPECT_FALSE(decodes(1, {"LA=NG", "C"}));
    EXPECT_FALSE(decodes(1, {std::string("LANG\0X", 6), "C"}));
    EXPECT_FALSE(decodes(1, {"LANG", std::string("C\0X", 3)}));
    EXPECT_FALSE(decodes(1, {"", "C"}));
    EXPECT_FALSE(decodes(LoginEnvironment::kMaxVariables + 1, {}));
}

TEST(MonitorPolicy, OnlyVariablesItsOwnAcceptEnvNamesAndTheConnectionItKnows) {
    MonitorPolicy policy = Policy(false);
    policy.acceptEnv = "LANG LC_*";
    policy.serverAddress = "198.51.100.1";
    policy.serverPort = "2222";
    EXPECT_TRUE(policy.AcceptsVariables({}));
    EXPECT_TRUE(policy.AcceptsVariables({{"LANG", "C.UTF-8"}, {"LC_TIME", "C"}}));
    // A worker that passes on what the setting does not name is refused whole.
    EXPECT_FALSE(policy.AcceptsVariables({{"LANG", "C.UTF-8"}, {"LD_PRELOAD", "/tmp/x.so"}}));
    EXPECT_FALSE(policy.AcceptsVariables({{"LANG=C", "x"}}));
    policy.acceptEnv.clear();
    EXPECT_FALSE(policy.AcceptsVariables({{"LANG", "C.UTF-8"}}));

    const LoginEnvironment login = policy.Login("/dev/pts/3", {{"LANG", "C"}});
    std::vector<std::string> environment;
    login.ApplyTo(environment);
    EXPECT_EQ(environment,
              (std::vector<std::string>{"LANG=C", "SSH_CLIENT=192.0.2.7 5022 2222",
                                        "SSH_CONNECTION=192.0.2.7 5022 198.51.100.1 2222",
                                        "SSH_TTY=/dev/pts/3"}));
}

TEST(LoginBanner, TheMessagesThenTheLastLogInAsSshdPrintsThem) {
    // ctime's form in the process's zone.
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    EXPECT_EQ(LoginBanner::LastLoginLine(1765184400, "192.0.2.7"),
              "Last login: Mon Dec  8 09:00:00 2025 from 192.0.2.7\r\n");
    EXPECT_EQ(LoginBanner::LastLoginLine(1765184400, ""),
              "Last login: Mon Dec  8 09:00:00 2025\r\n");
    EXPECT_EQ(LoginBanner::Compose("Linux host\n\nWelcome.\r\n", "Last login: x\r\n"),
              "Linux host\r\n\r\nWelcome.\r\nLast login: x\r\n");
    EXPECT_EQ(LoginBanner::Compose("", ""), "");
    EXPECT_FALSE(LoginBanner::Hushed("/nonexistent-home"));
    EXPECT_FALSE(LoginBanner::Hushed(""));
}

TEST(MonitorWire, OffersTravelWholeAndBounded) {
    std::vector<DetachedOffer> offers(2);
    offers[0] = {4242, 1765000000, "192.0.2.7:5022", "vim"};
    offers[1] = {4243, 1765000001, "[2001:db8::1]:22", std::string(300, 'x')};
    MonitorFields fields = MonitorWire::Encode(offers);
    std::vector<DetachedOffer> decoded;
    ASSERT_TRUE(MonitorWire::Decode(fields, decoded));
    ASSERT_EQ(decoded.size(), 2U);
    EXPECT_EQ(decoded[0].pid, 4242);
    EXPECT_EQ(decoded[0].since, 1765000000U);
    EXPECT_EQ(decoded[0].address, "192.0.2.7:5022");
    EXPECT_EQ(decoded[1].program, std::string(MonitorWire::kMaxOfferText, 'x')) << "cut";
    // Never more than the limit, never a pid of init's, never a NUL or a field left over.
    std::vector<DetachedOffer> many(MonitorWire::kMaxOffers + 5, offers[0]);
    fields = MonitorWire::Encode(many);
    ASSERT_TRUE(MonitorWire::Decode(fields, decoded));
    EXPECT_EQ(decoded.size(), MonitorWire::kMaxOffers);
    for (MonitorFields bad : {MonitorFields()
                                  .Add(std::uint64_t{1})
                                  .Add(std::uint64_t{1})
                                  .Add(std::uint64_t{0})
                                  .Add("a")
                                  .Add("b"),
                              MonitorFields()
                                  .Add(std::uint64_t{1})
                                  .Add(std::uint64_t{7})
                                  .Add(std::uint64_t{0})
                                  .Add(std::string_view("a\0b", 3))
                                  .Add("b"),
                              MonitorFields().Add(std::uint64_t{MonitorWire::kMaxOffers + 1}),
                              MonitorFields().Add(std::uint64_t{0}).Add("left over")}) {
        EXPECT_FALSE(MonitorWire::Decode(bad, decoded));
    }
}

TEST(MonitorServer, EachRequestOnlyInItsStates) {
    using S = MonitorServer;
    const auto code = [](MonitorRequest r) { return static_cast<std::uint32_t>(r); };
    EXPECT_TRUE(S::Allows(code(MonitorRequest::Logon), S::kAuthenticating));
    EXPECT_FALSE(S::Allows(code(MonitorRequest::Logon), S::kLoggedOn));
    EXPECT_FALSE(S::Allows(code(MonitorRequest::StartShell), S::kAuthenticating));
    EXPECT_TRUE(S::Allows(code(MonitorRequest::StartShell), S::kLoggedOn));
    EXPECT_FALSE(S::Allows(code(MonitorRequest::StartShell), S::kShellRunning));
    EXPECT_FALSE(S::Allows(code(MonitorRequest::Interrupt), S::kLoggedOn));
    EXPECT_FALSE(S::Allows(code(MonitorRequest::Interrupt), S::kEnded));
    EXPECT_TRUE(S::Allows(code(MonitorRequest::Log), S::kEnded));
    // Detached sessions are offered and taken only after a log-on, before a shell; a
    // session detaches only while its shell runs; a relaying one asks nothing but lines.
    for (const MonitorRequest r : {MonitorRequest::Offers, MonitorRequest::Reattach}) {
        EXPECT_FALSE(S::Allows(code(r), S::kAuthenticating));
        EXPECT_TRUE(S::Allows(code(r), S::kLoggedOn));
        EXPECT_FALSE(S::Allows(code(r), S::kShellRunning));
        EXPECT_FALSE(S::Allows(code(r), S::kRelaying));
    }
    EXPECT_TRUE(S::Allows(code(MonitorRequest::Detach), S::kShellRunning));
    EXPECT_FALSE(S::Allows(code(MonitorRequest::Detach), S::kLoggedOn));
    EXPECT_FALSE(S::Allows(code(MonitorRequest::StartShell), S::kRelaying));
    EXPECT_TRUE(S::Allows(code(MonitorRequest::Log), S::kRelaying));
    // Only a running shell's output floods.
    for (const S::State state : {S::kAuthenticating, S::kLoggedOn, S::kEnded, S::kRelaying}) {
        EXPECT_FALSE(S::Allows(code(MonitorRequest::Background), state)) << state;
    }
    EXPECT_TRUE(S::Allows(code(MonitorRequest::Background), S::kShellRunning));
    EXPECT_FALSE(S::Allows(0, S::kAuthenticating));
    EXPECT_FALSE(S::Allows(99, S::kShellRunning));
}

}  // namespace
