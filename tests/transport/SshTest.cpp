// The SSH channel end to end: zavd hands each connection to a session program that runs
// the channel and echoes what it receives; the real OpenSSH client runs in tmux.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "base/UniqueFd.h"
#include "support/TestSupport.h"
#include "support/Tmux.h"
#include "support/Zavd.h"

namespace {

class Ssh : public ::testing::Test {
  protected:
    void SetUp() override {
        // The key named the Windows way, as the session and zavd --genkey both take it.
        test::WriteFile(work / "zav.ini",
                        "[ZTerm]\nrsakey_file=keys\\zav_key\nlog_file=session_?pid.log\n"
                        "key_init=" ZAV_CONFIG_DIR "/zav_keys.ini\n");
        ASSERT_EQ(::mkdir((work / "keys").c_str(), 0700), 0);
        test::WriteFile(work / "behaviour", "ssh");
        ASSERT_EQ(test::Run(std::string(ZAVD_PATH) + " --genkey --workdir " +
                            test::Quote(work.Path().string()))
                      .status,
                  0);
        zavd = std::make_unique<test::Zavd>(
            work.Path().string(), std::vector<std::string>{"--session", ZAV_SESSION_PROBE_PATH});
        ASSERT_GT(zavd->Port(), 0) << zavd->Output();
    }

    std::string Client(const std::string& user, const std::string& extra = "") const {
        return test::SshCommand(zavd->Port(), user, extra);
    }

    // Runs body (Python, indented for the block) in an asyncssh connection c to the
    // server as alice; its exit code and what it printed.
    test::RunResult Asyncssh(const std::string& body) {
        test::WriteFile(work / "client.py",
                        "import asyncio, asyncssh\n"
                        "async def main():\n"
                        "    async with asyncssh.connect('127.0.0.1', " +
                            std::to_string(zavd->Port()) +
                            ", username='alice', known_hosts=None) as c:\n" + body +
                            "asyncio.run(main())\n");
        return test::Run("/usr/bin/python3 " + test::Quote(work / "client.py"));
    }

    test::TempDir work;
    std::unique_ptr<test::Zavd> zavd;
};

TEST_F(Ssh, ATerminalWithoutAnySshPrompt) {
    test::Tmux terminal(Client("alice") + "; echo ssh-exit=$?", 100, 30);
    ASSERT_TRUE(terminal.WaitForText("user=alice size=100x30")) << terminal.Capture();
    EXPECT_EQ(terminal.Capture().find("assword"), std::string::npos);

    // Bytes flow both ways.
    terminal.Send("x", true);
    EXPECT_TRUE(terminal.WaitForText("got=78")) << terminal.Capture();
    terminal.Send("Up");
    EXPECT_TRUE(terminal.WaitForText("got=1b5b41")) << terminal.Capture();

    // A zero byte (Ctrl+Space) is data like any other, and so is what follows it.
    terminal.SendTogether({"z", "C-@", "y"});
    terminal.Send("Enter");
    EXPECT_TRUE(terminal.WaitForText("got=0d")) << terminal.Capture();
    const std::string pane = terminal.Capture();
    std::string received;  // the bytes of every read since the Up key, in order
    for (std::size_t at = pane.find("got=1b5b41\n"); at != std::string::npos;
         at = pane.find("got=", at + 1)) {
        received += pane.substr(at + 4, pane.find('\n', at) - at - 4);
    }
    EXPECT_EQ(received, "1b5b417a00790d") << pane;

    // The terminal's size follows the window.
    ASSERT_TRUE(terminal.Resize(120, 40)) << terminal.Capture();
    EXPECT_TRUE(terminal.WaitForText("size=120x40")) << terminal.Capture();

    // With nothing to read, reads come back empty instead of waiting.
    terminal.Send("i", true);
    EXPECT_TRUE(terminal.WaitForText("idle pops=3 empty")) << terminal.Capture();

    // The session's end is orderly: the client sees exit status 0, no broken connection.
    terminal.Send("q", true);
    EXPECT_TRUE(terminal.WaitForText("ssh-exit=0")) << terminal.Capture();
    EXPECT_EQ(terminal.Capture().find("closed by remote host"), std::string::npos);
}

// The end of the program behind the channel, as a client library other than OpenSSH's
// reports it (OpenSSH's client shows no signal).
TEST_F(Ssh, TheClientLearnsTheExitStatusOrTheSignal) {
    for (const auto& [key, expected] :
         {std::pair{"e", "status=42 signal=None"}, std::pair{"k", "status=-1 signal=KILL"}}) {
        const auto result =
            Asyncssh(std::string("        p = await c.create_process(term_type='xterm')\n"
                                 "        await p.stdout.readuntil('size=')\n"
                                 "        p.stdin.write('") +
                     key +
                     "')\n"
                     "        r = await p.wait()\n"
                     "        s = r.exit_signal[0] if r.exit_signal else None\n"
                     "        print(f'status={r.exit_status} signal={s}')\n");
        EXPECT_EQ(result.status, 0) << result.output;
        EXPECT_NE(result.output.find(expected), std::string::npos) << result.output;
    }
}

// The client's env requests: only names accept_env lists, and none whose name or value
// held a NUL byte (which the library cuts off) or whose name holds '='.
TEST_F(Ssh, OnlyAcceptedWholeVariablesAreTaken) {
    const auto result = Asyncssh(
        "        env = {'LANG': 'C.UTF-8', 'LC_TIME': 'C\\0x', 'LC_A\\0B': 'y', 'ZT_SEP': 'a=b',\n"
        "               'OTHER': 'z', 'LC_E': '', 'ZT_A=B': 'c'}\n"
        "        p = await c.create_process(term_type='xterm', env=env)\n"
        "        await p.stdout.readuntil('env=')\n"
        "        print('env=' + await p.stdout.readuntil(']'))\n"
        "        p.stdin.write('q')\n"
        "        await p.wait()\n");
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(result.output, "env=[LANG=C.UTF-8;ZT_SEP=a=b;LC_E=;]\n");
}

TEST_F(Ssh, AClientThatAuthenticatesRightBehindItsNewKeys) {
    // dropbear's dbclient sends its service request and its first authentication request
    // without waiting for replies, so they arrive with its new keys: the handshake must
    // still end when the shell is asked for, not at its time-out (60 s; the wait here is
    // shorter).
    test::Tmux terminal("HOME=" + test::Quote(work.Path().string()) + " dbclient -y -y -t -p " +
                            std::to_string(zavd->Port()) + " dave@127.0.0.1; echo client-exit=$?",
                        100, 30);
    ASSERT_TRUE(terminal.WaitForText("user=dave size=100x30")) << terminal.Capture();
    terminal.Send("q", true);
    EXPECT_TRUE(terminal.WaitForText("client-exit=0")) << terminal.Capture();
}

// A free loopback port, for a local forward that nothing else uses.
int FreePort() {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), length);
    ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

TEST_F(Ssh, ForwardingIsRefusedAndTheTerminalKeepsWorking) {
    const int local = FreePort();
    test::Tmux terminal(
        "DISPLAY=:0 " +
            Client("bob", "-o LogLevel=INFO -X -A -L " + std::to_string(local) +
                              ":127.0.0.1:" + std::to_string(zavd->Port()) + " -R 0:127.0.0.1:9"),
        100, 30);
    ASSERT_TRUE(terminal.WaitForText("user=bob")) << terminal.Capture();
    EXPECT_TRUE(terminal.WaitForText("remote port forwarding failed")) << terminal.Capture();
    EXPECT_TRUE(terminal.WaitForText("X11 forwarding request failed")) << terminal.Capture();

    // A connection to the local forward is opened by the client, and refused by us.
    UniqueFd forwarded(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(local));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(forwarded.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    char byte = 0;
    EXPECT_EQ(::read(forwarded.Get(), &byte, 1), 0) << "closed without a byte";
    EXPECT_TRUE(terminal.WaitForText("open failed")) << terminal.Capture();

    terminal.Send("w", true);
    EXPECT_TRUE(terminal.WaitForText("got=77")) << terminal.Capture();
}

TEST_F(Ssh, StdioForwardingAndSftpAreRefused) {
    const std::string options =
        "-F /dev/null -o StrictHostKeyChecking=no "
        "-o UserKnownHostsFile=/dev/null -o LogLevel=ERROR ";
    const auto w = test::Run("ssh " + options + "-p " + std::to_string(zavd->Port()) +
                             " -W 127.0.0.1:9 carol@127.0.0.1 </dev/null 2>&1");
    EXPECT_NE(w.status, 0) << w.output;
    const auto sftp = test::Run("sftp " + options + "-P " + std::to_string(zavd->Port()) +
                                " -b /dev/null carol@127.0.0.1 2>&1");
    EXPECT_NE(sftp.status, 0) << sftp.output;
    EXPECT_NE(sftp.output.find("subsystem request failed"), std::string::npos) << sftp.output;
}

}  // namespace
