// The SSH clients Debian ships besides OpenSSH, through the whole product: dropbear's
// dbclient, PuTTY's plink, and small terminal clients over paramiko and asyncssh. Each
// runs in a 100 x 30 tmux pane, logs a real account on in the console, runs a command and
// leaves, then runs a command of its own; the client's exit code is printed after it as
// "client-exit=N".
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <ostream>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "base/UniqueFd.h"
#include "support/BriselSession.h"

namespace {

using test::Password;

struct Client {
    std::string name;
    // Each client logs on with an account of its own, so the clients' tests can run side
    // by side and each can check that nothing of its account is left (a second test of
    // the same client would need accounts of its own).
    std::string user;
    // The command line for the port, the user and a remote command ("" for a shell).
    std::function<std::string(int port, const std::string& user, const std::string& command)> line;
    // What the client itself asks before the console shows, in order, with the answers
    // typed (each followed by Enter).
    std::vector<std::pair<std::string, std::string>> questions;
};

// Test names carry the client's name; so does gtest's description of a parameter.
void PrintTo(const Client& client, std::ostream* out) {
    *out << client.name;
}

std::string WithCommand(const std::string& line, const std::string& command) {
    return command.empty() ? line : line + " " + test::Quote(command);
}

std::string PythonClient(const std::string& library, int port, const std::string& user,
                         const std::string& command) {
    return WithCommand("/usr/bin/python3 " + test::Quote(ZAV_PYTHON_CLIENT) + " " + library + " " +
                           std::to_string(port) + " " + user,
                       command);
}

const std::vector<Client> kClients = {
    {"dbclient",
     "zavtest21",
     [](int port, const std::string& user, const std::string& command) {
         // -y -y: no host key check (each test's server has a fresh key).
         return WithCommand(
             "dbclient -y -y -t -p " + std::to_string(port) + " " + user + "@127.0.0.1", command);
     },
     {}},
    {"plink",
     "zavtest22",
     [](int port, const std::string& user, const std::string& command) {
         return WithCommand("plink -ssh -t -P " + std::to_string(port) + " " + user + "@127.0.0.1",
                            command);
     },
     // The unknown host key: connect once without storing it. Having asked on the
     // terminal, plink then waits for Return before it shows the session.
     {{"Store key in cache? (y/n", "n"}, {"Press Return to begin session", ""}}},
    {"paramiko",
     "zavtest23",
     [](int port, const std::string& user, const std::string& command) {
         return PythonClient("paramiko", port, user, command);
     },
     {}},
    {"asyncssh",
     "zavtest24",
     [](int port, const std::string& user, const std::string& command) {
         return PythonClient("asyncssh", port, user, command);
     },
     {}},
};

class Clients : public test::BriselSession, public ::testing::WithParamInterface<Client> {
  protected:
    const std::string& User() const { return GetParam().user; }

    // Starts the service and the client (with a remote command when one is given),
    // answers the client's own questions and types the password into the console.
    void StartAndLogOn(const std::string& command) {
        if (!zavd) {
            StartService({{"exec_commands", "1"}}, {});
        }
        ASSERT_TRUE(zavd && zavd->Port() > 0);
        // The clients' own files (plink's random seed, known hosts) stay in the test's
        // directory.
        const std::string home = work / "home";
        ASSERT_EQ(test::Run("mkdir -p " + test::Quote(home)).status, 0);
        terminal = std::make_unique<test::Tmux>("HOME=" + test::Quote(home) + " " +
                                                    GetParam().line(zavd->Port(), User(), command) +
                                                    "; echo client-exit=$?",
                                                100, 30);
        for (const auto& [question, answer] : GetParam().questions) {
            ASSERT_TRUE(terminal->WaitForText(question)) << terminal->Capture();
            Type(answer);
        }
        ASSERT_TRUE(terminal->WaitForText("Password:")) << terminal->Capture();
        session = SessionPid();
        // The name the client gave is the console's log-on name; the password is typed.
        EXPECT_NE(terminal->Capture().find("login: " + User() + "\nPassword:"), std::string::npos)
            << terminal->Capture();
        Type(Password(User()));
    }
    // The same for a shell; returns at its prompt.
    void LogOn() {
        ASSERT_NO_FATAL_FAILURE(StartAndLogOn(""));
        ASSERT_TRUE(terminal->WaitForText(User() + ">")) << terminal->Capture();
    }

    // Waits for the client to end; its exit code, or -1.
    int ClientExit() {
        static const std::regex pattern("client-exit=([0-9]+)\n");
        std::smatch match;
        terminal->WaitFor(
            [&](const std::string& pane) { return std::regex_search(pane, match, pattern); });
        const std::string pane = terminal->Capture();
        return std::regex_search(pane, match, pattern) ? std::stoi(match[1].str()) : -1;
    }

    // After the client's end: the session process ended, saying so in its log, and
    // nothing of the account is left running. (TearDown checks that zavd saw no
    // abnormal end.)
    void ExpectSessionEnded() {
        EXPECT_TRUE(Ended(session)) << "session " << session;
        EXPECT_TRUE(WaitForLog("brisel.exe end")) << File("brisel.log");
        EXPECT_TRUE(NothingLeft(User()));
    }

    pid_t session = -1;

  private:
    // The session's process id from zavd's "session N: handed over" line.
    pid_t SessionPid() {
        const std::string line = zavd->WaitForLine(": handed over");
        static const std::regex pattern("session ([0-9]+): handed over");
        std::smatch match;
        return std::regex_search(line, match, pattern) ? std::stoi(match[1].str()) : -1;
    }

    // Waits up to 10 s for the process to end.
    static bool Ended(pid_t pid) {
        if (pid <= 0) {
            return false;
        }
        // A pidfd is readable once its process has ended (and is close-on-exec).
        const UniqueFd fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
        if (!fd.Valid()) {
            return errno == ESRCH;  // gone already
        }
        pollfd p{fd.Get(), POLLIN, 0};
        return ::poll(&p, 1, 10000) == 1;
    }
};

TEST_P(Clients, LogOnRunACommandAndLeave) {
    ASSERT_NO_FATAL_FAILURE(LogOn());
    // The shell's terminal has the client's size and type: the terminal tmux says it is
    // (whose terminfo entry the machine has), but for plink, which names xterm.
    std::string type = terminal->Execute("show-options -gv default-terminal");
    type.erase(type.find_last_not_of("\r\n ") + 1);
    if (GetParam().name == "plink") {
        type = "xterm";
    }
    Type("echo $((6*7)) $TERM; stty size");
    EXPECT_TRUE(terminal->WaitForText("\n42 " + type + "\n30 100\n")) << terminal->Capture();
    Type("exit 3");
    EXPECT_EQ(ClientExit(), 3) << "the shell's exit status\n" << terminal->Capture();
    ExpectSessionEnded();

    // A command named by the client runs after the log-on instead of the shell, on the
    // client's terminal, and its status is the client's.
    ASSERT_NO_FATAL_FAILURE(StartAndLogOn("echo ran-$((6*7)); stty size; exit 7"));
    EXPECT_EQ(ClientExit(), 7) << terminal->Capture();
    EXPECT_NE(terminal->Capture().find("\nran-42\n30 100\n"), std::string::npos)
        << terminal->Capture();
    ExpectSessionEnded();
}

INSTANTIATE_TEST_SUITE_P(Debian, Clients, ::testing::ValuesIn(kClients),
                         [](const ::testing::TestParamInfo<Client>& info) {
                             return info.param.name;
                         });

// A user name with a NUL byte (which the SSH library would cut there) is refused before
// any log-on, as OpenSSH's server refuses it; the session's log names it as far as it came, the NUL
// byte escaped.
class NulByte : public test::BriselSession {
  protected:
    // The client's pane once it has ended, or once the console asked for a password.
    std::string Attempt(const std::string& library, const std::string& user) {
        zavd.reset();
        std::remove((work / "brisel.log").c_str());
        StartService({}, {});
        test::Tmux client(
            PythonClient(library, zavd->Port(), test::Quote(user), "") + "; echo client-exit=$?",
            100, 30);
        client.WaitFor([](const std::string& pane) {
            return pane.find("client-exit=") != std::string::npos ||
                   pane.find("Password:") != std::string::npos;
        });
        return client.Capture();
    }
};

TEST_F(NulByte, AUserNameWithANulByteNeverLogsOn) {
    // paramiko sends the name as it is (asyncssh refuses such a name itself).
    std::string pane = Attempt("paramiko", "zavtest40\\x00byte");
    EXPECT_EQ(pane.find("Password:"), std::string::npos) << pane;
    EXPECT_EQ(pane.find("client-exit=0"), std::string::npos) << pane;
    EXPECT_NE(pane.find("client-exit="), std::string::npos) << pane;
    EXPECT_TRUE(WaitForLog("user name refused: [ zavtest40\\x00... ]")) << File("brisel.log");
    EXPECT_EQ(File("brisel.log").find("login"), std::string::npos) << File("brisel.log");

    // The same account without the NUL byte gets its prompt.
    pane = Attempt("paramiko", "zavtest40");
    EXPECT_NE(pane.find("Password:"), std::string::npos) << pane;
}

}  // namespace
