// Sessions that outlive their client, through the whole product: zavd with its control
// socket in a directory of the test's own, brisel, real accounts (zavtest61 to zavtest66)
// and OpenSSH clients in tmux panes. A client killed, or cut off by a forwarder that stops
// forwarding, leaves its session detached; a new log-on of the account takes it over (from
// the console's offer, or at once), and what the new client sees is the old screen.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <deque>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/BriselSession.h"

namespace {

using test::Password;

// A TCP forwarder on 127.0.0.1 between one client and a port: once stalled it forwards
// nothing more either way and closes nothing, as a firewall that drops a connection's
// packets does. Everything closes when it goes.
class Blackhole {
  public:
    explicit Blackhole(int target) : m_target(target) {
        m_listener.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        int control[2] = {-1, -1};
        int acknowledge[2] = {-1, -1};
        if (!m_listener.Valid() ||
            ::bind(m_listener.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(m_listener.Get(), 1) != 0 ||
            ::getsockname(m_listener.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
            ::pipe2(control, O_CLOEXEC) != 0 || ::pipe2(acknowledge, O_CLOEXEC) != 0) {
            return;
        }
        m_port = ntohs(address.sin_port);
        m_control[0].Reset(control[0]);
        m_control[1].Reset(control[1]);
        m_acknowledge[0].Reset(acknowledge[0]);
        m_acknowledge[1].Reset(acknowledge[1]);
        m_thread = std::thread([this] { Run(); });
    }
    ~Blackhole() {
        if (m_thread.joinable()) {
            Tell('q');
            m_thread.join();
        }
    }
    Blackhole(const Blackhole&) = delete;
    Blackhole& operator=(const Blackhole&) = delete;

    int Port() const { return m_port; }

    // Stops forwarding; no byte passes once this returns true.
    bool Stall() {
        Tell('s');
        pollfd p{m_acknowledge[0].Get(), POLLIN, 0};
        char ack = 0;
        return ::poll(&p, 1, 10000) == 1 && ::read(m_acknowledge[0].Get(), &ack, 1) == 1;
    }

  private:
    void Tell(char what) {
        if (::write(m_control[1].Get(), &what, 1) != 1) {
            ADD_FAILURE() << "the forwarder's control pipe";
        }
    }

    // Forwards until told to stall, then only listens for the end.
    void Run() {
        bool forwarding = true;
        for (;;) {
            std::vector<pollfd> p{{m_control[0].Get(), POLLIN, 0}};
            if (forwarding && !m_client.Valid()) {
                p.push_back({m_listener.Get(), POLLIN, 0});
            } else if (forwarding) {
                p.push_back({m_client.Get(), POLLIN, 0});
                p.push_back({m_server.Get(), POLLIN, 0});
            }
            if (::poll(p.data(), p.size(), -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return;
            }
            if ((p[0].revents & POLLIN) != 0) {
                char what = 0;
                if (::read(m_control[0].Get(), &what, 1) != 1 || what == 'q') {
                    return;
                }
                forwarding = false;
                const char ack = 'a';
                if (::write(m_acknowledge[1].Get(), &ack, 1) != 1) {
                    return;
                }
                continue;
            }
            if (p.size() == 2 && (p[1].revents & POLLIN) != 0) {
                m_client.Reset(::accept4(m_listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
                m_server.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
                sockaddr_in address{};
                address.sin_family = AF_INET;
                address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                address.sin_port = htons(static_cast<std::uint16_t>(m_target));
                if (!m_client.Valid() || !m_server.Valid() ||
                    ::connect(m_server.Get(), reinterpret_cast<sockaddr*>(&address),
                              sizeof address) != 0) {
                    forwarding = false;
                }
                continue;
            }
            if (p.size() == 3 && (!Copy(p[1], m_server.Get()) || !Copy(p[2], m_client.Get()))) {
                forwarding = false;  // one side closed: nothing more to forward
            }
        }
    }

    // Copies what is readable on from to the descriptor to; false at the end.
    static bool Copy(const pollfd& from, int to) {
        if ((from.revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
            return true;
        }
        char buffer[16384];
        const ssize_t n = ::read(from.fd, buffer, sizeof buffer);
        if (n <= 0) {
            return false;
        }
        for (ssize_t done = 0; done < n;) {
            const ssize_t written = ::write(to, buffer + done, static_cast<std::size_t>(n - done));
            if (written <= 0) {
                return false;
            }
            done += written;
        }
        return true;
    }

    int m_target;
    int m_port = 0;
    UniqueFd m_listener;
    UniqueFd m_client;
    UniqueFd m_server;
    UniqueFd m_control[2];
    UniqueFd m_acknowledge[2];
    std::thread m_thread;  // last: it uses the members above
};

// One client: its pane, and its session as zavd names it.
struct Client {
    std::unique_ptr<test::Tmux> pane;
    pid_t session = -1;
    int port = 0;  // the client's port as zavd saw it
};

class Detach : public test::BriselSession {
  protected:
    // The clients, the forwarder and the files go first, so that the sessions they hold can
    // end before the fixture waits for them.
    void TearDown() override {
        clients.clear();
        blackhole.reset();
        files.reset();
        BriselSession::TearDown();
        zavd.reset();  // stopped before its control socket's directory goes
    }

    std::string Control() const { return controlDirectory / "zavd.sock"; }

    // zavd with the fixture's settings changed by extra, answering on the test's own
    // control socket.
    void StartDetaching(const std::map<std::string, std::string>& extra) {
        StartService(extra, {"--control", Control()});
    }

    // Sets one setting in zav.ini; the sessions started from now on read it.
    void ChangeSetting(const std::string& key, const std::string& value) {
        const std::string ini = File("zav.ini");
        const std::regex line("\n" + key + "=[^\n]*\n");
        test::WriteFile(work / "zav.ini",
                        std::regex_search(ini, line)
                            ? std::regex_replace(ini, line, "\n" + key + "=" + value + "\n")
                            : ini + key + "=" + value + "\n");
    }

    // A client for user in a pane of the size given, to port (zavd's by default), at its
    // password prompt; with the password typed when logOn.
    Client& NewClient(const std::string& user, bool logOn = true, int port = 0, int columns = 100,
                      int rows = 30) {
        Client client;
        client.pane = std::make_unique<test::Tmux>(
            test::SshCommand(port != 0 ? port : zavd->Port(), user, clientOptions) +
                "; echo ssh-exit=$?",
            columns, rows);
        const std::string line = zavd->WaitForLine(": handed over");
        static const std::regex handed("127\\.0\\.0\\.1:([0-9]+) session ([0-9]+): handed over");
        std::smatch match;
        if (std::regex_search(line, match, handed)) {
            client.port = std::stoi(match[1].str());
            client.session = std::stoi(match[2].str());
        }
        clients.push_back(std::move(client));
        Client& made = clients.back();
        EXPECT_GT(made.session, 0) << zavd->Output();
        EXPECT_TRUE(made.pane->WaitForText("Password:")) << made.pane->Capture();
        if (logOn) {
            made.pane->Send(Password(user), true);
            made.pane->Send("Enter");
        }
        return made;
    }

    static void TypeIn(test::Tmux& pane, const std::string& text) {
        pane.Send(text, true);
        pane.Send("Enter");
    }

    // Waits for pane to match pattern; the match's groups, none when it never did.
    static std::vector<std::string> Match(test::Tmux& pane, const std::string& pattern,
                                          int seconds = 20) {
        const std::regex expression(pattern);
        std::vector<std::string> groups;
        pane.WaitFor(
            [&](const std::string& text) {
                std::smatch match;
                if (!std::regex_search(text, match, expression)) {
                    return false;
                }
                groups.assign(match.begin(), match.end());
                return true;
            },
            seconds);
        return groups;
    }

    // The shell's process id, printed with a marker of its own.
    static pid_t ShellPid(test::Tmux& pane, const std::string& marker) {
        TypeIn(pane, "echo " + marker + "=$$");
        const auto found = Match(pane, "\n" + marker + "=([0-9]+)\n");
        return found.size() == 2 ? std::stoi(found[1]) : -1;
    }

    // Kills the pane's ssh client as a lost connection would: no goodbye to the server.
    static void KillClient(test::Tmux& pane) {
        const std::string shell = pane.Execute("display-message -p '#{pane_pid}'");
        const test::RunResult ssh =
            test::Run("pgrep -x ssh -P " + std::to_string(std::atoi(shell.c_str())));
        const pid_t pid = std::atoi(ssh.output.c_str());
        ASSERT_GT(pid, 0) << "no ssh in the pane: " << ssh.output;
        ASSERT_EQ(test::Signal(pid, SIGKILL), 0);
        ASSERT_TRUE(pane.WaitForText("ssh-exit=137")) << pane.Capture();
    }

    // The lines of the sessions' log that the session pid wrote.
    static std::string SessionLines(const std::string& log, pid_t pid) {
        std::istringstream lines(log);
        std::string out;
        for (std::string line; std::getline(lines, line);) {
            std::istringstream prefix(line);
            long writer = 0;
            if (prefix >> writer && writer == pid) {
                out += line + "\n";
            }
        }
        return out;
    }
    std::string SessionLog(pid_t pid) { return SessionLines(File("brisel.log"), pid); }

    // Waits for session pid's log to hold text, looking again as the log is written.
    bool WaitForSessionLog(pid_t pid, const std::string& text, int seconds = 20) {
        return test::WaitForFileText((work.Path() / "brisel.log").string(),
                                     [&](const std::string& log) {
                                         return SessionLines(log, pid).find(text) !=
                                                std::string::npos;
                                     },
                                     seconds);
    }

    // Waits for zavd's output to hold a line matching pattern.
    bool WaitForZavd(const std::string& pattern, int seconds = 20) {
        const std::regex expression(pattern);
        return zavd->WaitForOutput(
            [&](const std::string& output) { return std::regex_search(output, expression); },
            seconds);
    }

    // The session ended, and in order (zavd's line names no exit code or signal).
    void ExpectEnded(pid_t session, int seconds = 20) {
        EXPECT_TRUE(WaitForZavd("session " + std::to_string(session) + ": ended\n", seconds))
            << zavd->Output();
    }

    // Waits until the client's session is detached (the rest of a test depends on it).
    void ExpectDetached(const Client& client, unsigned keptFor) {
        ASSERT_TRUE(WaitForSessionLog(client.session, "detached: the client is gone, kept for " +
                                                          std::to_string(keptFor) + " s"))
            << File("brisel.log");
    }

    // zavd --list or --end through the test's control socket.
    test::RunResult Administer(const std::string& arguments) {
        return test::Run(std::string(ZAVD_PATH) + " " + arguments + " --control " +
                         test::Quote(Control()) + " 2>&1");
    }

    // The rows of zavd --list of state, as "PID USER".
    std::vector<std::string> Listed(const std::string& state) {
        const test::RunResult list = Administer("--list");
        EXPECT_EQ(list.status, 0) << list.output;
        std::vector<std::string> rows;
        std::istringstream lines(list.output);
        for (std::string line; std::getline(lines, line);) {
            std::istringstream columns(line);
            std::string pid;
            std::string user;
            std::string address;
            std::string found;
            if (columns >> pid >> user >> address >> found && found == state) {
                rows.push_back(pid + " " + user);
            }
        }
        return rows;
    }

    // A directory user may write to, removed with the test.
    std::string FilesOf(const std::string& user) {
        files = std::make_unique<test::TempDir>();
        const passwd* account = ::getpwnam(user.c_str());
        EXPECT_NE(account, nullptr) << user;
        if (account != nullptr) {
            EXPECT_EQ(::chown(files->Path().c_str(), account->pw_uid, account->pw_gid), 0);
        }
        return files->Path().string();
    }

    test::TempDir controlDirectory;
    std::unique_ptr<test::TempDir> files;
    std::unique_ptr<Blackhole> blackhole;
    std::deque<Client> clients;  // a deque: the references NewClient gives stay valid
};

// The pane's screen with colours, without the colour changes at the ends of rows (which
// colour nothing: tmux writes one where a row's last cell written had another colour).
std::string Screen(test::Tmux& pane) {
    static const std::regex unused("(\x1b\\[[0-9;]*m)+\n");
    return std::regex_replace(pane.CaptureWithColours(), unused, "\n");
}

// The pane's screen (as Screen gives it) once it equals expected, or the last one at the
// deadline.
std::string ScreenOnceEqual(test::Tmux& pane, const std::string& expected, int seconds = 20) {
    std::string screen;
    pane.WaitFor(
        [&](const std::string&) {
            screen = Screen(pane);
            return screen == expected;
        },
        seconds);
    return screen;
}

TEST_F(Detach, AKilledClientsVimComesBackCellForCellToTheNextLogOn) {
    const std::string user = "zavtest61";
    ASSERT_NO_FATAL_FAILURE(StartDetaching({{"detach_timeout", "60"}, {"reattach", "ask"}}));
    const std::string file = FilesOf(user) + "/notes.txt";
    Client& first = NewClient(user);
    ASSERT_TRUE(first.pane->WaitForText(user + ">")) << first.pane->Capture();
    const pid_t shell = ShellPid(*first.pane, "shell");
    ASSERT_GT(shell, 0) << first.pane->Capture();
    TypeIn(*first.pane, "vim -u NONE -N -i NONE -c 'set number' " + file);
    ASSERT_TRUE(first.pane->WaitForText("[New")) << first.pane->Capture();
    first.pane->Send("i");
    first.pane->Send("typed before the client went", true);
    first.pane->Send("Escape");
    ASSERT_TRUE(first.pane->WaitFor([](const std::string& pane) {
        return pane.find("  1 typed before the client went\n") != std::string::npos &&
               pane.find("-- INSERT --") == std::string::npos;
    })) << first.pane->Capture();
    const std::string before = Screen(*first.pane);
    ASSERT_NO_FATAL_FAILURE(KillClient(*first.pane));
    ASSERT_NO_FATAL_FAILURE(ExpectDetached(first, 60));
    EXPECT_TRUE(WaitForZavd("session " + std::to_string(first.session) + ": detached \\(" + user +
                            ", running vim\\)\n"))
        << zavd->Output();

    Client& second = NewClient(user);
    const auto menu = Match(
        *second.pane, "\nDetached sessions of " + user +
                          ":\n  1\\) since ([0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}) "
                          "UTC from 127\\.0\\.0\\.1:([0-9]+), running vim\n  0\\) a new "
                          "session\nChoose \\[1\\]:\n");
    ASSERT_EQ(menu.size(), 3U) << second.pane->Capture();
    EXPECT_EQ(menu[2], std::to_string(first.port)) << "the address it detached from";
    std::tm since{};
    ASSERT_NE(::strptime(menu[1].c_str(), "%Y-%m-%d %H:%M:%S", &since), nullptr);
    EXPECT_LT(std::abs(std::difftime(::timegm(&since), std::time(nullptr))), 120.0) << menu[1];
    second.pane->Send("Enter");
    EXPECT_EQ(ScreenOnceEqual(*second.pane, before), before);

    // The text was kept unsaved; it is saved now, in the same shell.
    TypeIn(*second.pane, ":wq");
    ASSERT_TRUE(second.pane->WaitForText(user + ">")) << second.pane->Capture();
    EXPECT_EQ(test::ReadFile(file), "typed before the client went\n");
    EXPECT_EQ(ShellPid(*second.pane, "again"), shell);
    TypeIn(*second.pane, "exit 3");
    ASSERT_TRUE(second.pane->WaitForText("ssh-exit=")) << second.pane->Capture();
    EXPECT_NE(second.pane->Capture().find("ssh-exit=3\n"), std::string::npos)
        << "the reattached shell's status reaches the new client";

    ExpectEnded(first.session);
    ExpectEnded(second.session);
    EXPECT_TRUE(NothingLeft(user));
    EXPECT_NE(SessionLog(first.session)
                  .find("reattached from 127.0.0.1:" + std::to_string(second.port) + "\r"),
              std::string::npos)
        << File("brisel.log");
    EXPECT_NE(SessionLog(second.session)
                  .find("reattached to session " + std::to_string(first.session) +
                        " from 127.0.0.1:" + std::to_string(second.port) + "\r"),
              std::string::npos)
        << File("brisel.log");
    EXPECT_NE(SessionLog(second.session).find("reattached session ended"), std::string::npos)
        << File("brisel.log");
    EXPECT_NE(zavd->Output().find("session " + std::to_string(first.session) +
                                  ": reattached from 127.0.0.1:" + std::to_string(second.port) +
                                  " by session " + std::to_string(second.session) + "\n"),
              std::string::npos)
        << zavd->Output();
    PasswordNowhere(user);
}

TEST_F(Detach, AStalledClientIsGoneAfterItsKeepAlivesAndNewestIsTakenAtOnce) {
    const std::string user = "zavtest65";
    ASSERT_NO_FATAL_FAILURE(StartDetaching(
        {{"detach_timeout", "60"}, {"reattach", "newest"}, {"keep_alive_interval", "1"}}));
    blackhole = std::make_unique<Blackhole>(zavd->Port());
    ASSERT_GT(blackhole->Port(), 0);
    Client& stalled = NewClient(user, true, blackhole->Port());
    ASSERT_TRUE(stalled.pane->WaitForText(user + ">")) << stalled.pane->Capture();
    const pid_t shell = ShellPid(*stalled.pane, "shell");
    ASSERT_GT(shell, 0);
    TypeIn(*stalled.pane, "clear; echo screen-before'-the-stall'");
    ASSERT_TRUE(stalled.pane->WaitForText("screen-before-the-stall\n")) << stalled.pane->Capture();
    ASSERT_TRUE(blackhole->Stall());
    const auto stall = std::chrono::steady_clock::now();
    ASSERT_NO_FATAL_FAILURE(ExpectDetached(stalled, 60));
    const auto took = std::chrono::steady_clock::now() - stall;
    EXPECT_LT(took, std::chrono::seconds(20));

    // No offer: the newest detached session comes at once.
    Client& next = NewClient(user);
    ASSERT_TRUE(next.pane->WaitForText("screen-before-the-stall\n")) << next.pane->Capture();
    EXPECT_EQ(next.pane->Capture().find("Detached sessions"), std::string::npos)
        << next.pane->Capture();
    EXPECT_EQ(ShellPid(*next.pane, "again"), shell);
    TypeIn(*next.pane, "exit");
    ASSERT_TRUE(next.pane->WaitForText("ssh-exit=")) << next.pane->Capture();
    EXPECT_NE(next.pane->Capture().find("ssh-exit=0\n"), std::string::npos) << next.pane->Capture();
    ExpectEnded(stalled.session);
    ExpectEnded(next.session);
    ASSERT_NO_FATAL_FAILURE(KillClient(*stalled.pane));
    EXPECT_TRUE(NothingLeft(user));
}

TEST_F(Detach, ADetachedSessionThatTimesOutEndsWithEverythingItRan) {
    const std::string user = "zavtest66";
    ASSERT_NO_FATAL_FAILURE(StartDetaching({{"detach_timeout", "2"}}));
    Client& client = NewClient(user);
    ASSERT_TRUE(client.pane->WaitForText(user + ">")) << client.pane->Capture();
    TypeIn(*client.pane, "sleep 1000 & echo background=$!");
    const auto background = Match(*client.pane, "\nbackground=([0-9]+)\n");
    ASSERT_EQ(background.size(), 2U) << client.pane->Capture();
    const pid_t sleeper = std::stoi(background[1]);
    ASSERT_NO_FATAL_FAILURE(KillClient(*client.pane));
    ASSERT_NO_FATAL_FAILURE(ExpectDetached(client, 2));
    EXPECT_TRUE(WaitForSessionLog(client.session, "detach timeout")) << File("brisel.log");
    ExpectEnded(client.session);
    EXPECT_TRUE(test::WaitGone(sleeper)) << "the background job ends with the session";
    EXPECT_TRUE(NothingLeft(user));

    // Without a time to keep it (the built-in 0), a session ends with its client at once.
    ASSERT_NO_FATAL_FAILURE(ChangeSetting("detach_timeout", "0"));
    Client& plain = NewClient(user);
    ASSERT_TRUE(plain.pane->WaitForText(user + ">")) << plain.pane->Capture();
    ASSERT_NO_FATAL_FAILURE(KillClient(*plain.pane));
    EXPECT_TRUE(WaitForSessionLog(plain.session, "disconnected")) << File("brisel.log");
    ExpectEnded(plain.session);
    EXPECT_EQ(SessionLog(plain.session).find("detached"), std::string::npos) << File("brisel.log");
    EXPECT_TRUE(NothingLeft(user));
}

TEST_F(Detach, NeverOfferedToAnotherAccountAWrongPasswordOrWithReattachNever) {
    const std::string user = "zavtest62";
    const std::string other = "zavtest63";
    ASSERT_NO_FATAL_FAILURE(
        StartDetaching({{"detach_timeout", "60"}, {"max_login_attempts", "1"}}));
    Client& detached = NewClient(user);
    ASSERT_TRUE(detached.pane->WaitForText(user + ">")) << detached.pane->Capture();
    ASSERT_NO_FATAL_FAILURE(KillClient(*detached.pane));
    ASSERT_NO_FATAL_FAILURE(ExpectDetached(detached, 60));

    Client& another = NewClient(other);
    ASSERT_TRUE(another.pane->WaitForText(other + ">")) << another.pane->Capture();
    EXPECT_EQ(another.pane->Capture().find("Detached sessions"), std::string::npos)
        << another.pane->Capture();
    TypeIn(*another.pane, "exit");
    ASSERT_TRUE(another.pane->WaitForText("ssh-exit=")) << another.pane->Capture();
    EXPECT_NE(another.pane->Capture().find("ssh-exit=0\n"), std::string::npos);

    // A wrong password is refused as ever, and learns nothing of the detached session.
    Client& wrong = NewClient(user, false);
    TypeIn(*wrong.pane, "not-the-password");
    ASSERT_TRUE(wrong.pane->WaitForText("ssh-exit=")) << wrong.pane->Capture();
    EXPECT_NE(wrong.pane->Capture().find("ssh-exit=255\n"), std::string::npos)
        << wrong.pane->Capture();
    EXPECT_EQ(wrong.pane->Capture().find("Detached sessions"), std::string::npos)
        << wrong.pane->Capture();
    EXPECT_TRUE(WaitForSessionLog(wrong.session, "max login attempts")) << File("brisel.log");
    EXPECT_NE(SessionLog(wrong.session).find("login refused: [ " + user + " ]"), std::string::npos)
        << File("brisel.log");
    ExpectEnded(wrong.session);

    ASSERT_NO_FATAL_FAILURE(ChangeSetting("reattach", "never"));
    Client& fresh = NewClient(user);
    ASSERT_TRUE(fresh.pane->WaitForText(user + ">")) << fresh.pane->Capture();
    EXPECT_EQ(fresh.pane->Capture().find("Detached sessions"), std::string::npos)
        << fresh.pane->Capture();
    EXPECT_EQ(Listed("detached"),
              std::vector<std::string>{std::to_string(detached.session) + " " + user});
    TypeIn(*fresh.pane, "exit");
    ASSERT_TRUE(fresh.pane->WaitForText("ssh-exit=")) << fresh.pane->Capture();
    EXPECT_NE(fresh.pane->Capture().find("ssh-exit=0\n"), std::string::npos);
    ExpectEnded(fresh.session);

    const test::RunResult end = Administer("--end " + std::to_string(detached.session));
    EXPECT_EQ(end.status, 0) << end.output;
    ExpectEnded(detached.session);
    EXPECT_TRUE(NothingLeft(user));
    EXPECT_TRUE(NothingLeft(other));
}

TEST_F(Detach, TwoDetachedSessionsOfferedNewestFirstListedAndEndedByTheAdministrator) {
    const std::string user = "zavtest64";
    ASSERT_NO_FATAL_FAILURE(StartDetaching({{"detach_timeout", "60"}}));
    // Two sessions, each with a screen of its own, detached one after the other.
    std::vector<Client*> older;
    std::vector<pid_t> shells;
    for (const char* name : {"first", "second"}) {
        Client& client = NewClient(user);
        if (!older.empty()) {
            // The first is offered; the second is a new session.
            ASSERT_TRUE(client.pane->WaitForText("Choose [1]:")) << client.pane->Capture();
            TypeIn(*client.pane, "0");
        }
        ASSERT_TRUE(client.pane->WaitForText(user + ">")) << client.pane->Capture();
        shells.push_back(ShellPid(*client.pane, "shell"));
        TypeIn(*client.pane, std::string("clear; echo the-") + name + "'-screen'");
        ASSERT_TRUE(client.pane->WaitForText(std::string("the-") + name + "-screen\n"))
            << client.pane->Capture();
        ASSERT_NO_FATAL_FAILURE(KillClient(*client.pane));
        ASSERT_NO_FATAL_FAILURE(ExpectDetached(client, 60));
        older.push_back(&client);
    }
    Client& first = *older[0];
    Client& second = *older[1];
    auto detached = Listed("detached");
    std::sort(detached.begin(), detached.end());
    std::vector<std::string> both{std::to_string(first.session) + " " + user,
                                  std::to_string(second.session) + " " + user};
    std::sort(both.begin(), both.end());
    EXPECT_EQ(detached, both);

    Client& chooser = NewClient(user);
    const std::string line = "\\) since [-0-9]+ [:0-9]+ UTC from 127\\.0\\.0\\.1:";
    const auto menu = Match(*chooser.pane, "\nDetached sessions of " + user + ":\n  1" + line +
                                               "([0-9]+), running bash\n  2" + line +
                                               "([0-9]+), running bash\n  0\\) a new "
                                               "session\nChoose \\[1\\]:\n");
    ASSERT_EQ(menu.size(), 3U) << chooser.pane->Capture();
    EXPECT_EQ(menu[1], std::to_string(second.port)) << "the newest first";
    EXPECT_EQ(menu[2], std::to_string(first.port));
    TypeIn(*chooser.pane, "2");
    ASSERT_TRUE(chooser.pane->WaitForText("the-first-screen\n")) << chooser.pane->Capture();
    EXPECT_EQ(ShellPid(*chooser.pane, "again"), shells[0]);
    EXPECT_EQ(Listed("detached"),
              std::vector<std::string>{std::to_string(second.session) + " " + user});

    // The administrator ends the other one; a pid that is no session is refused.
    const test::RunResult end = Administer("--end " + std::to_string(second.session));
    EXPECT_EQ(end.status, 0) << end.output;
    ExpectEnded(second.session);
    EXPECT_TRUE(test::WaitGone(shells[1]));
    EXPECT_TRUE(Listed("detached").empty());
    EXPECT_NE(SessionLog(second.session).find("ended by the administrator"), std::string::npos)
        << File("brisel.log");
    EXPECT_NE(zavd->Output().find("session " + std::to_string(second.session) +
                                  ": ended by zavd --end\n"),
              std::string::npos)
        << zavd->Output();
    const test::RunResult unknown = Administer("--end " + std::to_string(::getpid()));
    EXPECT_EQ(unknown.status, 1) << unknown.output;
    EXPECT_EQ(unknown.output, "zavd: no session " + std::to_string(::getpid()) + "\n");

    TypeIn(*chooser.pane, "exit");
    ASSERT_TRUE(chooser.pane->WaitForText("ssh-exit=")) << chooser.pane->Capture();
    EXPECT_NE(chooser.pane->Capture().find("ssh-exit=0\n"), std::string::npos)
        << chooser.pane->Capture();
    ExpectEnded(first.session);
    ExpectEnded(chooser.session);
    EXPECT_TRUE(NothingLeft(user));
}

}  // namespace
