// A command run without a terminal (`ssh host command` with its input not a terminal):
// the OpenSSH client as a script runs it, against zav and against Debian's sshd. The
// password is the first line of zav's input (sshd's comes from an askpass program); the
// rest is the command's. Standard output, its bytes and the exit status must be sshd's;
// zav's log-on dialogue goes to standard error only.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "support/BriselSession.h"
#include "support/Sshd.h"

namespace {

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

class CommandStreams : public test::BriselSession {
  protected:
    void SetUp() override {
        BriselSession::SetUp();
        if (IsSkipped()) {
            return;
        }
        StartService({{"exec_commands", "1"}}, {});
    }

    // The client with input (the file's bytes) and the command, against port; no
    // configuration files, no host key checks, no terminal. The password never appears
    // on a command line: it is in the input file, or in a file the askpass program reads.
    Outcome Client(int port, const std::string& user, const std::string& command,
                   const std::string& input, bool askpass = false) {
        const std::string in = work / "input";
        const std::string err = work / "stderr";
        test::WriteFile(in, input);
        ::chmod(in.c_str(), 0600);
        std::string environment;
        if (askpass) {
            const std::string secret = work / "secret";
            const std::string program = work / "askpass";
            test::WriteFile(secret, test::Password(user) + "\n");
            ::chmod(secret.c_str(), 0600);
            test::WriteFile(program, "#!/bin/sh\nexec cat " + test::Quote(secret) + "\n");
            ::chmod(program.c_str(), 0700);
            environment = "SSH_ASKPASS_REQUIRE=force SSH_ASKPASS=" + test::Quote(program) + " ";
        }
        const test::RunResult run = test::Run(
            environment + "timeout 60 ssh -F /dev/null -p " + std::to_string(port) +
            " -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR"
            " -o PubkeyAuthentication=no -o GSSAPIAuthentication=no"
            " -o PreferredAuthentications=password,keyboard-interactive"
            " -o NumberOfPasswordPrompts=1 -T " +
            user + "@127.0.0.1 " + test::Quote(command) + " <" + test::Quote(in) + " 2>" +
            test::Quote(err));
        return Outcome{run.status, run.output, test::ReadFile(err)};
    }

    Outcome Zav(const std::string& user, const std::string& command, const std::string& input) {
        return Client(zavd->Port(), user, command, test::Password(user) + "\n" + input);
    }
};

TEST_F(CommandStreams, OutputInputAndExitStatusAreSshdsByteForByte) {
    const std::string user = "zavtest56";
    test::Sshd sshd;
    ASSERT_GT(sshd.Port(), 0) << sshd.Error();
    // Every byte value, NUL and CR LF included, through cat both ways.
    std::string bytes;
    for (int round = 0; round < 64; ++round) {
        for (int c = 0; c < 256; ++c) {
            bytes += static_cast<char>(c);
        }
    }
    struct Case {
        const char* command;
        std::string input;
    };
    const Case cases[] = {
        {"cat", "hi\n"},                         // the client's data reaches the command, and ends
        {"echo hello", ""},                      // nothing but the command's output
        {"cat", bytes},                          // byte for byte
        {"echo out; echo err >&2; exit 3", ""},  // standard error apart, the exit status
        {"kill -TERM $$", ""},                   // a signal
        {"wc -c", std::string(300000, 'x')},     // more than a pipe holds
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        const Outcome theirs = Client(sshd.Port(), user, c.command, c.input, true);
        const Outcome ours = Zav(user, c.command, c.input);
        EXPECT_EQ(ours.status, theirs.status) << ours.err;
        EXPECT_EQ(ours.out, theirs.out) << ours.err;
        // The command's standard error arrives after the log-on's dialogue.
        EXPECT_TRUE(ours.err.ends_with(theirs.err)) << ours.err << "\nsshd: " << theirs.err;
    }
}

TEST_F(CommandStreams, TheLogOnTalksOnStandardErrorAndReadsThePasswordAsALine) {
    const std::string user = "zavtest57";
    // The password line may end in CR LF; what follows it is the command's.
    const Outcome ours =
        Client(zavd->Port(), user, "cat; echo done", test::Password(user) + "\r\nfirst\nsecond");
    EXPECT_EQ(ours.status, 0) << ours.err;
    EXPECT_EQ(ours.out, "first\nseconddone\n");
    EXPECT_NE(ours.err.find("login: " + user), std::string::npos) << ours.err;
    EXPECT_NE(ours.err.find("Password: "), std::string::npos) << ours.err;
    EXPECT_EQ(ours.err.find(test::Password(user)), std::string::npos) << "never echoed";
    EXPECT_EQ(ours.err.find('\x1b'), std::string::npos) << "no screen: " << ours.err;
    const std::string log = test::ReadFile(work / "brisel.log");
    EXPECT_NE(log.find("login accepted: [ " + user + " ]"), std::string::npos) << log;
    // The connection's variables as sshd sets them without a terminal: no SSH_TTY, no TERM.
    const Outcome env = Client(zavd->Port(), user, "env", test::Password(user) + "\n");
    EXPECT_EQ(env.status, 0) << env.err;
    EXPECT_NE(env.out.find("\nSSH_CLIENT=127.0.0.1 "), std::string::npos) << env.out;
    EXPECT_NE(env.out.find("\nSSH_CONNECTION=127.0.0.1 "), std::string::npos) << env.out;
    EXPECT_EQ(env.out.find("\nSSH_TTY="), std::string::npos) << env.out;
    EXPECT_EQ(env.out.find("\nTERM="), std::string::npos) << env.out;
}

TEST_F(CommandStreams, InputThatEndsWithoutTheRightPasswordEndsTheSessionAtOnce) {
    const std::string user = "zavtest58";
    // The first line is taken as the password, refused; then the input ends: the session
    // ends then, not at the password time-out, and nothing reaches standard output.
    const Outcome wrong = Client(zavd->Port(), user, "cat", "hi\n");
    EXPECT_EQ(wrong.status, 255) << wrong.err;
    EXPECT_EQ(wrong.out, "");
    EXPECT_NE(wrong.err.find("Password: "), std::string::npos) << wrong.err;
    EXPECT_TRUE(wrong.err.ends_with("Password: \n")) << "the last prompt's line ends";
    const Outcome none = Client(zavd->Port(), user, "cat", "");
    EXPECT_EQ(none.status, 255) << none.err;
    EXPECT_EQ(none.out, "");
    const std::string log = test::ReadFile(work / "brisel.log");
    EXPECT_NE(log.find("input ended before log-on"), std::string::npos) << log;
    EXPECT_EQ(log.find("password timeout"), std::string::npos) << log;
}

}  // namespace
