// The socket hand-off with the test process in the service's place: it starts the
// session program with "-ppid:" naming itself, offers the pipes and passes a real TCP
// connection, while the test holds the client's end.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "base/DescriptorPassing.h"
#include "base/UniqueFd.h"
#include "service/ZavdHandOff.h"
#include "support/ConsoleSupport.h"
#include "support/Loopback.h"
#include "support/TestSupport.h"
#include "transport/HandOffIo.h"
#include "transport/ZSsh.h"
#include "win32/Win32.h"

namespace {

using namespace std::chrono_literals;

// A connected TCP pair on the loopback: the server's end goes to the session.
struct Connection {
    explicit Connection(bool v6 = false) {
        UniqueFd listener(::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_storage address{};
        socklen_t length = 0;
        if (v6) {
            auto& a = reinterpret_cast<sockaddr_in6&>(address);
            a.sin6_family = AF_INET6;
            a.sin6_addr = in6addr_loopback;
            length = sizeof a;
        } else {
            auto& a = reinterpret_cast<sockaddr_in&>(address);
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            length = sizeof a;
        }
        ::bind(listener.Get(), reinterpret_cast<sockaddr*>(&address), length);
        ::listen(listener.Get(), 1);
        ::getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&address), &length);
        client.Reset(::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        ::connect(client.Get(), reinterpret_cast<sockaddr*>(&address), length);
        server.Reset(::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        sockaddr_storage local{};
        length = sizeof local;
        ::getsockname(client.Get(), reinterpret_cast<sockaddr*>(&local), &length);
        port = std::to_string(ntohs(v6 ? reinterpret_cast<sockaddr_in6&>(local).sin6_port
                                       : reinterpret_cast<sockaddr_in&>(local).sin_port));
        ip = v6 ? "::1" : "127.0.0.1";
    }
    // What the session sent, up to a line end or its close.
    std::string ReadLine(int seconds = 20) { return test::ReadLine(client.Get(), seconds); }
    UniqueFd client;
    UniqueFd server;
    std::string ip;
    std::string port;
};

// The work directory, the private pipe directory and the session program's process.
class HandOff : public ::testing::Test {
  protected:
    void SetUp() override {
        pipes = std::string("/tmp/zav-pipes-") + std::to_string(::getpid());
        ::mkdir(pipes.c_str(), 0700);
        WriteSettings("");
    }
    void TearDown() override {
        if (session > 0) {
            test::Signal(session, SIGKILL);
            ::waitpid(session, nullptr, 0);
        }
        test::Run("rm -rf " + test::Quote(pipes));
    }

    void WriteSettings(const std::string& extra) {
        test::WriteFile(
            work / "zav.ini",
            "[ZTerm]\nlog_file=log.txt\ntrace_file=trace.txt\nerror_file=error.txt\n" + extra);
    }

    // Starts the session program as the service would, for the connection.
    void Start(const std::string& behaviour, const Connection& c, long service = ::getpid()) {
        test::WriteFile(work / "behaviour", behaviour);
        suffix = "zav" + c.ip + c.port;
        session = ::fork();
        if (session == 0) {
            if (::chdir(work.Path().c_str()) != 0) {
                ::_exit(126);
            }
            ::setenv("ZAV_PIPE_DIR", pipes.c_str(), 1);
            const std::string ppid = "-ppid:" + std::to_string(service);
            const std::string ip = "-ip:" + c.ip;
            const std::string port = "-port:" + c.port;
            ::execl(ZAV_SESSION_PROBE_PATH, ZAV_SESSION_PROBE_PATH, ppid.c_str(), ip.c_str(),
                    port.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
    }

    // The session's exit status once it ended (-1 if it did not in time).
    int Wait(int seconds = 30) {
        int status = 0;
        if (!test::WaitExit(session, seconds, &status)) {
            session = -1;
            return -1;
        }
        session = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    // Offers the pipes and runs the exchange as the service would; false with the reason.
    bool HandOver(const Connection& c, std::chrono::seconds limit, std::string& error) {
        ZavdHandOff service;
        return service.Listen(pipes, suffix, error) &&
               service.Run(session, c.server.Get(), limit, error);
    }

    std::string Log() { return test::ReadFile(work / "log.txt"); }
    std::string Trace() { return test::ReadFile(work / "trace.txt"); }

    static std::size_t Count(const std::string& text, const std::string& what) {
        std::size_t n = 0;
        for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
            ++n;
        }
        return n;
    }

    test::TempDir work;
    std::string pipes;
    std::string suffix;
    pid_t session = -1;
};

TEST_F(HandOff, TheSessionGetsTheConnection) {
    Connection c;
    Start("greet", c);
    std::string error;
    ASSERT_TRUE(HandOver(c, 20s, error)) << error;
    c.server.Reset();  // the session has its own now
    EXPECT_EQ(c.ReadLine(), "session " + std::to_string(session) + " peer 127.0.0.1:" + c.port +
                                " client=127.0.0.1:" + c.port);
    c.client.Reset();
    EXPECT_EQ(Wait(), 0);
    EXPECT_NE(Log().find("disconnected"), std::string::npos);
    // The exchange as the session traced it.
    const std::string trace = Trace();
    EXPECT_NE(trace.find("ZSocketDup::GetSocket( " + suffix + " )"), std::string::npos);
    EXPECT_EQ(Count(trace, "ZPipe::Connect( ) : err"), 0U);
}

TEST_F(HandOff, PipesThatAppearLateAreFoundAtTheSecondAttempt) {
    Connection c;
    Start("greet", c);
    // The session's first attempt finds nothing; its second comes 1000 ms later.
    std::this_thread::sleep_for(500ms);
    std::string error;
    ASSERT_TRUE(HandOver(c, 20s, error)) << error;
    EXPECT_EQ(c.ReadLine().substr(0, 8), "session ");
}

// A listening local socket at path that nobody serves.
UniqueFd Listener(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    ::listen(fd.Get(), 4);
    return fd;
}

TEST_F(HandOff, WithoutTheReplyPipeBothAttemptsFail) {
    Connection c;
    Start("greet", c);
    const UniqueFd request = Listener(pipes + "/ZAV_sr_" + suffix);
    EXPECT_EQ(Wait(), 0);
    // Each attempt reached the request socket before it missed the reply socket.
    int attempts = 0;
    pollfd waiting{request.Get(), POLLIN, 0};
    while (::poll(&waiting, 1, 0) == 1) {
        const UniqueFd attempt(::accept4(request.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        ASSERT_TRUE(attempt.Valid());
        ++attempts;
    }
    EXPECT_EQ(attempts, 2);
    EXPECT_NE(Trace().find("pipe.Connect( " + suffix + " ):err"), std::string::npos);
    EXPECT_NE(Log().find("socket -1 connected to 0.0.0.0:0"), std::string::npos);
}

// The service's side written out by hand, for replies the real service never sends.
struct ManualService {
    ManualService(const std::string& pipes, const std::string& suffix)
        : request(Listener(pipes + "/ZAV_sr_" + suffix)),
          reply(Listener(pipes + "/ZAV_sw_" + suffix)) {}
    bool Accept() {
        requestConnection.Reset(::accept4(request.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        replyConnection.Reset(::accept4(reply.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        handoff::SetTimeouts(requestConnection.Get(), 20000);
        return requestConnection.Valid() && replyConnection.Valid();
    }
    std::string ReadRequest(std::size_t size) {
        std::string bytes(size, '\0');
        return DescriptorPassing::Receive(requestConnection.Get(), bytes.data(), size, nullptr)
                   ? bytes
                   : "";
    }
    UniqueFd request, reply, requestConnection, replyConnection;
};

std::string Record(int fd) {
    WSAPROTOCOL_INFOA record{};
    socklen_t length = sizeof(int);
    ::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &record.iAddressFamily, &length);
    ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &record.iSocketType, &length);
    ::getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &record.iProtocol, &length);
    return std::string(reinterpret_cast<const char*>(&record), sizeof record);
}

TEST_F(HandOff, TheReplyMayComeInTwoWrites) {
    Connection c;
    Start("greet", c);
    ManualService service(pipes, suffix);
    ASSERT_TRUE(service.Accept());
    const std::string request = service.ReadRequest(8);
    const pid_t pid = session;
    EXPECT_EQ(request,
              std::string("\x04\0\0\0", 4) + std::string(reinterpret_cast<const char*>(&pid), 4));
    // The length with the socket attached, then the record on its own, a moment later.
    ASSERT_TRUE(DescriptorPassing::Send(service.replyConnection.Get(),
                                        std::string("\x74\x01\0\0", 4), c.server.Get()));
    std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(handoff::WriteAll(service.replyConnection.Get(), Record(c.server.Get())));
    EXPECT_EQ(service.ReadRequest(5), std::string("\x01\0\0\0.", 5));
    c.server.Reset();
    EXPECT_EQ(c.ReadLine().substr(0, 8), "session ");
}

TEST_F(HandOff, BadRepliesAreRefusedCleanly) {
    struct Case {
        std::string reply;
        bool withSocket;
        const char* trace;
    };
    const Case cases[] = {
        {std::string("\xff\xff\xff\xff", 4), true, "ReadFile2( ) : err"},  // negative length
        {std::string("\x00\x00\x00\x10", 4), true, "ReadFile2( ) : err"},  // 256 MiB
        {std::string("\x10\0\0\0", 4) + std::string(16, 'x'), true, "WSASocket( ):err"},  // short
        {std::string("\x74\x01\0\0", 4), false, "WSASocket( ):err"},  // no socket
    };
    for (const Case& k : cases) {
        Connection c;
        Start("greet", c);
        ManualService service(pipes, suffix);
        ASSERT_TRUE(service.Accept());
        service.ReadRequest(8);
        std::string reply = k.reply;
        if (reply.size() == 4 && reply[0] == '\x74') {
            reply += Record(c.server.Get());
        }
        if (k.withSocket) {
            DescriptorPassing::Send(service.replyConnection.Get(), reply, c.server.Get());
        } else {
            handoff::WriteAll(service.replyConnection.Get(), reply);
        }
        service.replyConnection.Reset();
        EXPECT_EQ(Wait(), 0);
        EXPECT_NE(Trace().find(k.trace), std::string::npos) << k.trace;
        EXPECT_NE(Log().find("socket -1 "), std::string::npos);
        std::remove((work / "trace.txt").c_str());
        std::remove((work / "log.txt").c_str());
    }
}

TEST_F(HandOff, AnEmptyWriteSendsNothing) {
    Connection c;
    Start("empty-write", c);
    ManualService service(pipes, suffix);
    ASSERT_TRUE(service.Accept());
    const pid_t pid = session;
    EXPECT_EQ(service.ReadRequest(8),
              std::string("\x04\0\0\0", 4) + std::string(reinterpret_cast<const char*>(&pid), 4));
    EXPECT_EQ(Wait(), 0);
    char byte = 0;
    EXPECT_EQ(::read(service.requestConnection.Get(), &byte, 1), 0) << "nothing else was sent";
}

TEST_F(HandOff, AStrangerAtThePipesIsTurnedAway) {
    Connection c;
    Start("foreign", c);
    std::string error;
    ASSERT_TRUE(HandOver(c, 20s, error)) << error;
    EXPECT_EQ(c.ReadLine(), "session " + std::to_string(session) + " peer 127.0.0.1:" + c.port +
                                " client=127.0.0.1:" + c.port + " foreign=refused");
}

TEST_F(HandOff, TheSessionTrustsOnlyItsOwnService) {
    Connection c;
    Start("greet", c, 1);  // "-ppid:" names another process
    ZavdHandOff service;
    std::string error;
    ASSERT_TRUE(service.Listen(pipes, suffix, error)) << error;
    EXPECT_FALSE(service.Run(session, c.server.Get(), 5s, error));
    EXPECT_EQ(Wait(), 0);
    EXPECT_NE(Log().find("socket -1 "), std::string::npos);
}

TEST_F(HandOff, IPv6Peers) {
    Connection c(true);
    Start("greet", c);
    std::string error;
    ASSERT_TRUE(HandOver(c, 20s, error)) << error;
    EXPECT_EQ(c.ReadLine(), "session " + std::to_string(session) + " peer ::1:" + c.port +
                                " client=::1:" + c.port);
}

// ---- the SSH set-up's failures end the session with exit code 0 ---------------------

class SshInit : public HandOff {
  protected:
    // Hands the connection to an SSH session and returns its exit code.
    int Serve(Connection& c) {
        Start("ssh", c);
        std::string error;
        EXPECT_TRUE(HandOver(c, 20s, error)) << error;
        c.server.Reset();
        return Wait();
    }
    // Everything the client received until the session closed the connection.
    static std::string Received(Connection& c) {
        std::string all;
        char buffer[512];
        ssize_t n = 0;
        while ((n = ::read(c.client.Get(), buffer, sizeof buffer)) > 0) {
            all.append(buffer, static_cast<std::size_t>(n));
        }
        return all;
    }
};

TEST_F(SshInit, MissingKeyFile) {
    WriteSettings("rsakey_file=missing_key\n");
    Connection c;
    EXPECT_EQ(Serve(c), 0);
    EXPECT_EQ(Received(c), "") << "nothing is sent";
    EXPECT_NE(Log().find("cryptKeysetOpen = -40\r\n"), std::string::npos);
    EXPECT_NE(test::ReadFile(work / "error.txt").find("cryptKeysetOpen = -40\r\n"),
              std::string::npos);
    EXPECT_EQ(Log().find("ssh initialized"), std::string::npos);
}

TEST_F(SshInit, WrongKeyPassword) {
    ASSERT_EQ(test::Run("ssh-keygen -q -t ed25519 -N other-password -f " +
                        test::Quote(work / "key") + " </dev/null")
                  .status,
              0);
    WriteSettings("rsakey_file=key\n");
    Connection c;
    EXPECT_EQ(Serve(c), 0);
    EXPECT_EQ(Received(c), "");
    EXPECT_NE(Log().find("cryptGetPrivateKey = -22\r\n"), std::string::npos);
}

TEST_F(SshInit, KeyFileOthersCanRead) {
    ASSERT_EQ(test::Run("ssh-keygen -q -t ed25519 -N " + test::Quote(ZSsh::kKeysetPassword) +
                        " -f " + test::Quote(work / "key") + " </dev/null")
                  .status,
              0);
    ASSERT_EQ(::chmod((work / "key").c_str(), 0644), 0);
    WriteSettings("rsakey_file=key\n");
    Connection c;
    EXPECT_EQ(Serve(c), 0);
    EXPECT_EQ(Received(c), "") << "no session serves with a key others can read";
    EXPECT_NE(Log().find("cryptKeysetOpen = -21\r\n"), std::string::npos) << Log();
    EXPECT_EQ(Log().find("ssh initialized"), std::string::npos);
}

TEST_F(SshInit, ClientLeavingDuringTheHandshake) {
    ASSERT_EQ(test::Run("ssh-keygen -q -t ed25519 -N " + test::Quote(ZSsh::kKeysetPassword) +
                        " -f " + test::Quote(work / "key") + " </dev/null")
                  .status,
              0);
    WriteSettings("rsakey_file=key\n");
    Connection c;
    Start("ssh", c);
    std::string error;
    ASSERT_TRUE(HandOver(c, 20s, error)) << error;
    c.server.Reset();
    // The server's greeting arrives; the client goes away without answering.
    EXPECT_EQ(c.ReadLine().substr(0, 8), "SSH-2.0-");
    c.client.Reset();
    EXPECT_EQ(Wait(), 0);
    EXPECT_NE(Log().find("ssh not initialised. disconnecting-"), std::string::npos) << Log();
    EXPECT_EQ(test::ReadFile(work / "error.txt"), "") << "no error line for this one";
}

}  // namespace
