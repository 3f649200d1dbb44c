// Acceptance through the whole product: zavd, brisel, a real account, and the OpenSSH
// client in a 100 x 30 tmux pane. The checks are on what the person at the client sees.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <uninorm.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/BriselSession.h"

namespace {

using test::Password;

class EndToEnd : public test::BriselSession {
  protected:
    // Logs user on and waits for the shell's prompt.
    void LogOn(const std::string& user, const std::map<std::string, std::string>& extra = {}) {
        Start(user, extra);
        ASSERT_TRUE(terminal->WaitForText("Password:")) << terminal->Capture();
        Type(Password(user));
        ASSERT_TRUE(terminal->WaitForText(user + ">")) << terminal->Capture();
    }
    // Ctrl+C while a program runs ends it and the rest of its command line.
    void InterruptASleep() {
        // Sent once the program runs (a Ctrl+C before that would reach the shell).
        Type("sh -c 'echo sleep''ing; exec sleep 100'; echo sleep-ended");
        ASSERT_TRUE(terminal->WaitForText("\nsleeping\n")) << terminal->Capture();
        terminal->Send("C-c");
        Type("echo after-interrupt");
        EXPECT_TRUE(terminal->WaitForText("\nafter-interrupt\n")) << terminal->Capture();
        EXPECT_EQ(terminal->Capture().find("\nsleep-ended\n"), std::string::npos)
            << "the list was cut";
    }
    bool TopRowIs(const std::string& text) {
        return terminal->WaitFor(
            [&](const std::string& pane) { return Rows(pane).front() == text; });
    }
};

TEST_F(EndToEnd, PromptsCommandsAndColours) {
    const std::string user = "zavtest11";
    Start(user);
    ASSERT_TRUE(terminal->WaitForText("Password:")) << terminal->Capture();
    EXPECT_EQ(Rows(terminal->Capture())[1], "Welcome 1.13d");
    EXPECT_NE(terminal->Capture().find("login: " + user + "\nPassword:"), std::string::npos);
    Type(Password(user));
    ASSERT_TRUE(terminal->WaitForText(user + ">")) << terminal->Capture();

    Type("mkdir -p d && touch f && ls --color=always; echo listed");
    ASSERT_TRUE(terminal->WaitForText("listed")) << terminal->Capture();
    Type("printf '\\033[31mRED\\033[0m \\033[1;32mBRIGHT\\033[0m \\033[44mONBLUE\\033[0m\\n'");
    // The output's row, not the command line's (which can break right after ONBLUE).
    ASSERT_TRUE(terminal->WaitForText("\nRED BRIGHT ONBLUE\n")) << terminal->Capture();
    const std::string coloured = terminal->CaptureWithColours();
    // The directory in ls's bold blue, the printf's words in their colours, bold as bold
    // (the client is a 256-colour terminal); everything else in the client's own colours,
    // nothing blinking.
    EXPECT_NE(coloured.find("\x1b[1m\x1b[34md"), std::string::npos) << coloured;
    EXPECT_NE(coloured.find("31mRED"), std::string::npos) << coloured;
    EXPECT_NE(coloured.find("\x1b[1m\x1b[32mBRIGHT"), std::string::npos) << coloured;
    EXPECT_NE(coloured.find("44mONBLUE"), std::string::npos) << coloured;
    EXPECT_EQ(coloured.find("31mBRIGHT"), std::string::npos) << "no colour bleeds";
    for (const char* explicitDefault : {"\x1b[37m", "\x1b[40m", "\x1b[5m"}) {
        EXPECT_EQ(coloured.find(explicitDefault), std::string::npos) << coloured;
    }
}

TEST_F(EndToEnd, ScrollingFarThenClear) {
    LogOn("zavtest12");
    Type("seq 1 3000");
    ASSERT_TRUE(terminal->WaitFor([](const std::string& pane) {
        const auto rows = Rows(pane);
        return rows.size() == 30 && rows[28] == "3000" && rows[29] == "zavtest12>";
    })) << terminal->Capture();
    const auto rows = Rows(terminal->Capture());
    for (int i = 0; i < 28; ++i) {
        EXPECT_EQ(rows[static_cast<std::size_t>(i)], std::to_string(2972 + i));
    }
    Type("clear");
    EXPECT_TRUE(terminal->WaitFor([](const std::string& pane) {
        const auto rows = Rows(pane);
        return rows.front() == "zavtest12>" &&
               std::find(rows.begin(), rows.end(), "3000") == rows.end();
    })) << terminal->Capture();
}

TEST_F(EndToEnd, EachCommandsOutputReachesTheScrollBackFromItsFirstLine) {
    // The first command uses the whole burst up; the second, typed with its Enter in one
    // go soon after (sooner than the slow refresh here), still gets every line into the
    // client's scroll-back.
    LogOn("zavtest26", {{"scrollback_burst", "500"}, {"refresh_delay", "1000"}});
    Type("seq 1 5000; echo first-done");
    ASSERT_TRUE(terminal->WaitForText("\nfirst-done\n")) << terminal->Capture();
    terminal->Send("seq 100001 100400; echo second-done\r", true);
    ASSERT_TRUE(terminal->WaitForText("\nsecond-done\n")) << terminal->Capture();
    std::string expected;
    for (int i = 100001; i <= 100400; ++i) {
        expected += std::to_string(i) + "\n";
    }
    EXPECT_NE(terminal->History().find(expected + "second-done\n"), std::string::npos)
        << terminal->History();
}

TEST_F(EndToEnd, AFullScreenProgramAndTheShellAfterIt) {
    LogOn("zavtest13");
    Type("seq 1 500 | sed 's/^/line /' > file; echo before-less");
    ASSERT_TRUE(terminal->WaitForText("before-less\n"));
    Type("less file");
    ASSERT_TRUE(TopRowIs("line 1")) << terminal->Capture();
    terminal->Send("Down");
    EXPECT_TRUE(TopRowIs("line 2")) << terminal->Capture();
    terminal->Send("NPage");
    EXPECT_TRUE(TopRowIs("line 31")) << terminal->Capture();  // 29 lines on, as less pages
    terminal->Send("Up");
    EXPECT_TRUE(TopRowIs("line 30")) << terminal->Capture();
    terminal->Send("q", true);
    // The shell's screen is back as it was, with the prompt after it.
    EXPECT_TRUE(terminal->WaitFor([](const std::string& pane) {
        return pane.find("before-less\nzavtest13> less file\nzavtest13>") != std::string::npos;
    })) << terminal->Capture();
}

TEST_F(EndToEnd, ResizedDuringAFullScreenProgramAndWhileScrolling) {
    LogOn("zavtest14");
    Type("seq 1 500 | sed 's/^/row /' > file; less file");
    ASSERT_TRUE(TopRowIs("row 1")) << terminal->Capture();
    ASSERT_TRUE(terminal->Resize(80, 24)) << terminal->Capture();
    // less redraws itself for its new size: its prompt moves up to the 24th row. Keys
    // sent while less handles the resize may be lost to it, so they wait for that.
    ASSERT_TRUE(terminal->WaitFor([](const std::string& pane) {
        const auto rows = Rows(pane);
        return rows.size() == 24 && rows[22] == "row 23" && rows[23] == ":";
    })) << terminal->Capture();
    terminal->Send("NPage");
    EXPECT_TRUE(terminal->WaitFor([](const std::string& pane) {
        return Rows(pane).front().rfind("row ", 0) == 0 && Rows(pane).front() != "row 1";
    })) << terminal->Capture();
    terminal->Send("q", true);
    Type("stty size");
    EXPECT_TRUE(terminal->WaitForText("\n24 80\n")) << terminal->Capture();

    // Resized again while output scrolls: it scrolls until the shell has the new size (for
    // 30 s at most), then 2000 lines more. The end is complete, in the new size.
    Type(
        "end=$((SECONDS + 30)); until [ \"$(stty size)\" = '30 100' ] || [ $SECONDS -ge $end ]; "
        "do seq -f s%g 100; done; for i in $(seq 1 2000); do echo n$i; done; echo done-scrolling");
    ASSERT_TRUE(terminal->WaitFor([](const std::string& pane) {
        const auto rows = Rows(pane);
        return std::any_of(rows.begin(), rows.end(), [](const std::string& row) {
            return row.size() > 1 && row[0] == 's' &&
                   row.find_first_not_of("0123456789", 1) == std::string::npos;
        });
    })) << terminal->Capture();
    ASSERT_TRUE(terminal->Resize(100, 30)) << terminal->Capture();
    EXPECT_TRUE(terminal->WaitFor([](const std::string& pane) {
        const auto rows = Rows(pane);
        return rows.size() == 30 && rows[27] == "n2000" && rows[28] == "done-scrolling";
    })) << terminal->Capture();
    Type("stty size");
    EXPECT_TRUE(terminal->WaitForText("\n30 100\n")) << terminal->Capture();
}

TEST_F(EndToEnd, TheLastOutputBeforeTheShellEndsReachesTheClient) {
    LogOn("zavtest18");
    Type("echo last-words; exit 3");
    ASSERT_TRUE(terminal->WaitForText("ssh-exit=")) << terminal->Capture();
    const std::string pane = terminal->Capture();
    EXPECT_NE(pane.find("echo last-words; exit 3\nlast-words\n"), std::string::npos) << pane;
    EXPECT_NE(pane.find("ssh-exit=3\n"), std::string::npos) << "the shell's exit status";
    EXPECT_TRUE(WaitForLog("shell is dead"));
}

TEST_F(EndToEnd, ACommandTheClientNamesRunsAfterTheLogOnAndEndsWithItsStatus) {
    const std::string user = "zavtest25";
    StartService({{"exec_commands", "1"}}, {});
    // The command keeps its quotes and blanks; the session's terminal comes with -t.
    test::Tmux client(test::SshCommand(zavd->Port(), user) +
                          " 'printf \"%s|\" \"a  b\" \"it'\\''s\"; tty; exit 7'; echo ssh-exit=$?",
                      100, 30);
    ASSERT_TRUE(client.WaitForText("Password:")) << client.Capture();
    client.Send(Password(user), true);
    client.Send("Enter");
    ASSERT_TRUE(client.WaitForText("ssh-exit=")) << client.Capture();
    const std::string pane = client.Capture();
    EXPECT_NE(pane.find("a  b|it's|/dev/pts/"), std::string::npos) << pane;
    EXPECT_NE(pane.find("ssh-exit=7\n"), std::string::npos) << pane;
}

TEST_F(EndToEnd, AMebibytePasteArrivesWhole) {
    // Traced at level 10: at 0 every byte of the paste writes trace lines.
    LogOn("zavtest19", {{"trace_level", "10"}});
    // Indented text, as source code is: runs of blanks repeat the same key many times.
    std::string text;
    for (int i = 0; text.size() < (1U << 20); ++i) {
        text += std::string(static_cast<std::size_t>(4 * (i % 5)), ' ') + "int value" +
                std::to_string(i) + " = " + std::to_string(i * 7) + ";  // keep\n";
    }
    test::WriteFile(work / "paste.txt", text);
    const std::string want =
        test::Run("sha256sum < " + test::Quote((work / "paste.txt"))).output.substr(0, 64);
    // Pasted once the shell has left its line editor: bytes that arrive while it edits
    // (echo off, no canonical mode) would make Ctrl+D a plain byte for cat.
    Type("echo CAT$((6*7)); cat > pasted; sha256sum pasted; rm pasted");
    ASSERT_TRUE(terminal->WaitForText("\nCAT42\n")) << terminal->Capture();
    terminal->Paste((work / "paste.txt"));
    terminal->Send("C-d");
    EXPECT_TRUE(terminal->WaitForText(want + "  pasted", 40)) << terminal->Capture();
}

TEST_F(EndToEnd, AnIdleSessionMakesNoPass) {
    LogOn("zavtest20");
    Type("echo quiet-now");
    ASSERT_TRUE(terminal->WaitForText("\nquiet-now\n")) << terminal->Capture();
    ASSERT_TRUE(terminal->WaitForText("quiet-now\nzavtest20>")) << terminal->Capture();
    // Every pass waits once for client data (the trace is at level 0 here); an idle
    // session with no deadline near waits once, and not again.
    const auto waits = [&] {
        const std::string trace = File("brisel.trc");
        std::size_t count = 0;
        for (std::size_t at = trace.find("ZSsh::Pop( "); at != std::string::npos;
             at = trace.find("ZSsh::Pop( ", at + 1)) {
            ++count;
        }
        return count;
    };
    // The prompt's export may still be followed by its own wait: one more is allowed.
    const std::size_t before = waits();
    ASSERT_GT(before, 0U);
    // Watched for 3 s: every write to the trace is looked at as it happens; the absence
    // of passes over the whole window is the result.
    struct Watch {
        int fd;
        ~Watch() {
            if (fd >= 0) {
                ::close(fd);
            }
        }
        int Get() const { return fd; }
    } watch{::inotify_init1(IN_CLOEXEC | IN_NONBLOCK)};
    ASSERT_GE(watch.Get(), 0);
    ASSERT_GE(::inotify_add_watch(watch.Get(), (work / "brisel.trc").c_str(), IN_MODIFY), 0);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    for (;;) {
        ASSERT_LE(waits(), before + 1) << "an idle session passes only at its deadlines";
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              end - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            break;
        }
        pollfd p{watch.Get(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) > 0) {
            char events[4096];
            [[maybe_unused]] const ssize_t n = ::read(watch.Get(), events, sizeof events);
        }
    }
}

TEST_F(EndToEnd, CtrlCInterruptsAProgramAsTheTerminalWould) {
    LogOn("zavtest15");
    InterruptASleep();
}

TEST_F(EndToEnd, CtrlCInterruptsAProgramThroughTheSessionWhenEnabled) {
    // The terminal file of the shipped configuration, with the session's own interrupt.
    std::string telnet = test::ReadFile(test::kConfig + "/zav_telnet.ini");
    telnet.replace(telnet.find("ctrl_c_enabled=0"), 16, "ctrl_c_enabled=1");
    test::WriteFile(work / "telnet.ini", telnet);
    LogOn("zavtest16", {{"telnet_init", "telnet.ini"}});
    InterruptASleep();
}

// Text in canonical composition (NFC), as a cell shows it whichever way it was written.
std::string Composed(const std::string& text) {
    std::size_t length = 0;
    std::uint8_t* composed =
        u8_normalize(UNINORM_NFC, reinterpret_cast<const std::uint8_t*>(text.data()), text.size(),
                     nullptr, &length);
    if (composed == nullptr) {
        return text;
    }
    std::string result(reinterpret_cast<const char*>(composed), length);
    std::free(composed);
    return result;
}

TEST_F(EndToEnd, TextBeyondAscii) {
    clientOptions = kUtf8Client;  // the shell's line editor takes UTF-8 in a UTF-8 locale
    LogOn("zavtest17");
    // Latin-1, Cyrillic, CJK and emoji (two cells each), combining marks.
    const std::string text =
        "caf\u00e9 \u00fcber \u00df \u2502 \u041f\u0440\u0438\u0432\u0435\u0442\n"
        "\u4e2d\u6587\u5b57 \U0001F600\U0001F44D end\n"
        "e\u0301tape a\u0308 \u00bd\n";
    test::WriteFile(work / "text.txt", text);
    const std::string want =
        test::Run("sha256sum < " + test::Quote((work / "text.txt"))).output.substr(0, 64);
    // Pasted: arrives byte for byte.
    Type("echo CAT$((6*7)); cat > typed; sha256sum typed");
    ASSERT_TRUE(terminal->WaitForText("\nCAT42\n")) << terminal->Capture();  // see above
    terminal->Paste((work / "text.txt"));
    terminal->Send("C-d");
    ASSERT_TRUE(terminal->WaitForText(want + "  typed")) << terminal->Capture();
    // Printed: the same cells as a terminal of its own shows for the same output.
    test::Tmux local("cat " + test::Quote(work / "text.txt"), 100, 30);
    ASSERT_TRUE(local.WaitForText(" end\n"));
    Type("clear; cat typed; echo printed");
    ASSERT_TRUE(terminal->WaitForText("\nprinted\n")) << terminal->Capture();
    const auto ours = Rows(Composed(terminal->Capture()));
    const auto theirs = Rows(Composed(local.Capture()));
    for (std::size_t row = 0; row < 3; ++row) {
        ASSERT_LT(row, ours.size());
        EXPECT_EQ(ours[row], theirs[row]) << "row " << row;
    }
    // A later change beside two emoji lands in its own column.
    Type("printf '\\360\\237\\230\\200\\360\\237\\230\\200ab\\bB\\n'");
    EXPECT_TRUE(terminal->WaitForText("\n\U0001F600\U0001F600aB\n")) << terminal->Capture();
    // Typed, too, one character at a time.
    terminal->Send("echo typed-\xc3\xa9\xd0\xb4\xe4\xb8\xad\xf0\x9f\x98\x80", true);
    terminal->Send("Enter");
    EXPECT_TRUE(terminal->WaitForText("\ntyped-\xc3\xa9\xd0\xb4\xe4\xb8\xad\xf0\x9f\x98\x80\n"))
        << terminal->Capture();
}

TEST_F(EndToEnd, TenSessionsAtOnce) {
    const std::string user = "zavtest18";
    StartService({}, {});
    std::vector<std::unique_ptr<test::Tmux>> clients;
    for (int i = 0; i < 10; ++i) {
        clients.push_back(Connect(user));
    }
    for (auto& c : clients) {
        ASSERT_TRUE(c->WaitForText("Password:", 60)) << c->Capture();
        c->Send(Password(user), true);
        c->Send("Enter");
    }
    for (std::size_t i = 0; i < clients.size(); ++i) {
        ASSERT_TRUE(clients[i]->WaitForText(user + ">", 60)) << clients[i]->Capture();
        clients[i]->Send("echo session-" + std::to_string(i) + " $((" + std::to_string(i) + "*7))",
                         true);
        clients[i]->Send("Enter");
    }
    for (std::size_t i = 0; i < clients.size(); ++i) {
        EXPECT_TRUE(clients[i]->WaitForText("\nsession-" + std::to_string(i) + " " +
                                            std::to_string(i * 7) + "\n"))
            << clients[i]->Capture();
    }
    for (auto& c : clients) {
        c->Send("exit", true);
        c->Send("Enter");
    }
    for (auto& c : clients) {
        EXPECT_TRUE(c->WaitForText("ssh-exit=0")) << c->Capture();
    }
    EXPECT_TRUE(NothingLeft(user));
}

// Twenty log-ons at once, each password typed at another moment: ahead of everything
// (before the connection is up, with the client terminal's own echo off, so that only the
// server could show it), at the prompt with the command right behind it (while PAM checks),
// and after a wrong one (while PAM turns that down). No password ever shows on the
// client's screen or in its scroll-back, and each command typed after it is answered.
// Whether keys typed ahead reach the session before its prompt is up to the machine's
// timing: fourteen clients make it near certain that some do.
TEST_F(EndToEnd, APasswordNeverShowsHoweverTheLogOnIsTimed) {
    const std::string user = "zavtest39";
    const std::string password = Password(user);
    StartService({}, {"--max-startups-per-address", "20"});
    enum Kind { Ahead, AtThePrompt, AfterARefusal };
    const std::vector<Kind> kinds = {AtThePrompt,   AfterARefusal, AtThePrompt,
                                     AfterARefusal, AtThePrompt,   AfterARefusal};
    const std::string ssh = test::SshCommand(zavd->Port(), user) + "; echo ssh-exit=$?";
    const auto command = [](std::size_t i) {
        return "echo answer-$((" + std::to_string(i) + "*7))";
    };
    const auto typeLine = [](test::Tmux& pane, const std::string& text) {
        pane.Send(text, true);
        pane.Send("Enter");
    };
    struct Client {
        Kind kind;
        std::unique_ptr<test::Tmux> pane;
    };
    std::vector<Client> clients;
    for (std::size_t i = 0; i < 20; ++i) {
        const Kind kind = i < kinds.size() ? kinds[i] : Ahead;
        if (kind != Ahead) {
            clients.push_back({kind, std::make_unique<test::Tmux>(ssh, 100, 30)});
            continue;
        }
        // Typed as soon as the terminal's echo is off; the client sends it once it has
        // its channel.
        clients.push_back(
            {kind, std::make_unique<test::Tmux>("stty -echo; echo typing-ahead; " + ssh, 100, 30)});
        test::Tmux& pane = *clients.back().pane;
        ASSERT_TRUE(pane.WaitForText("typing-ahead")) << pane.Capture();
        typeLine(pane, password);
        typeLine(pane, command(i));
    }
    for (std::size_t i = 0; i < clients.size(); ++i) {
        test::Tmux& pane = *clients[i].pane;
        if (clients[i].kind == Ahead) {
            continue;
        }
        ASSERT_TRUE(pane.WaitForText("Password:", 60)) << pane.Capture();
        if (clients[i].kind == AfterARefusal) {
            typeLine(pane, "wrong-" + password);
        }
        typeLine(pane, password);
        typeLine(pane, command(i));
    }
    for (std::size_t i = 0; i < clients.size(); ++i) {
        test::Tmux& pane = *clients[i].pane;
        const std::string answer = "\nanswer-" + std::to_string(i * 7) + "\n";
        EXPECT_TRUE(pane.WaitForText(answer, 60)) << "client " << i << ":\n" << pane.Capture();
        const std::string history = pane.History();
        EXPECT_EQ(history.find(password), std::string::npos) << "client " << i << ":\n" << history;
    }
    for (auto& client : clients) {
        typeLine(*client.pane, "exit");
    }
    for (auto& client : clients) {
        EXPECT_TRUE(client.pane->WaitForText("ssh-exit=0")) << client.pane->Capture();
    }
    EXPECT_TRUE(NothingLeft(user));
    PasswordNowhere(user);
}

// A log-like file of `count` lines of `length` characters ("000123 aaaa... TAIL000123"),
// made in the account's home by awk, then shown by cat; nothing is typed afterwards. The
// client's scroll-back must hold every line once, in order, each wrapped at 80 columns.
class LongOutput : public EndToEnd {
  protected:
    static std::string Command(int count, int length, const std::string& name) {
        return "awk 'BEGIN{for(i=1;i<=" + std::to_string(count) +
               ";i++){printf \"%06d \",i;for(j=0;j<" + std::to_string(length - 18) +
               ";j++)printf \"a\";printf \" TAIL%06d\\n\",i}}' >" + name + "; cat " + name +
               "; echo " + name + "-''done";
    }

    static std::vector<std::string> Expected(int count, int length) {
        std::vector<std::string> rows;
        for (int i = 1; i <= count; ++i) {
            char number[16];
            std::snprintf(number, sizeof number, "%06d", i);
            const std::string line = std::string(number) + " " +
                                     std::string(static_cast<std::size_t>(length - 18), 'a') +
                                     " TAIL" + number;
            for (std::size_t at = 0; at < line.size(); at += 80) {
                rows.push_back(line.substr(at, 80));
            }
        }
        return rows;
    }

    // The rows appear in the history once each, in order, with nothing between them.
    static std::string CheckHistory(const std::string& history, int count, int length) {
        const std::vector<std::string> want = Expected(count, length);
        const std::vector<std::string> got = Rows(history);
        std::size_t start = 0;
        while (start < got.size() && got[start] != want.front()) {
            ++start;
        }
        for (std::size_t i = 0; i < want.size(); ++i) {
            if (start + i >= got.size() || got[start + i] != want[i]) {
                std::string context;
                for (std::size_t k = start + i; k < got.size() && k < start + i + 3; ++k) {
                    context += "\n  " + got[k];
                }
                return "row " + std::to_string(i) + " of " + std::to_string(want.size()) +
                       " is not '" + want[i] + "'; the client has:" + context;
            }
        }
        return {};
    }

    void StartLong(const std::string& user, const std::string& command = {}) {
        StartService({{"scrollback_burst", "100000"}, {"exec_commands", "1"}}, {});
        const std::string quoted = command.empty() ? "" : " " + test::Quote(command);
        terminal = std::make_unique<test::Tmux>(
            test::SshCommand(zavd->Port(), user) + quoted + "; echo ssh-exit=$?", 80, 24, 100000);
        ASSERT_TRUE(terminal->WaitForText("Password:")) << terminal->Capture();
        Type(Password(user));
    }
};

TEST_F(LongOutput, ThreeThousandLinesShortAndWrappedFlowToTheEndWhole) {
    StartLong("zavtest27");
    ASSERT_TRUE(terminal->WaitForText("zavtest27>")) << terminal->Capture();
    for (const int length : {56, 109}) {
        const std::string name = "lines" + std::to_string(length);
        Type(Command(3000, length, name));
        ASSERT_TRUE(terminal->WaitForText("\n" + name + "-done\n", 120)) << terminal->Capture();
        EXPECT_EQ(CheckHistory(terminal->History(), 3000, length), "") << length;
    }
}

TEST_F(LongOutput, TwentyThousandWrappedLinesFlowToTheEndWhole) {
    StartLong("zavtest28");
    ASSERT_TRUE(terminal->WaitForText("zavtest28>")) << terminal->Capture();
    Type(Command(20000, 109, "lines"));
    ASSERT_TRUE(terminal->WaitForText("\nlines-done\n", 180)) << terminal->Capture();
    EXPECT_EQ(CheckHistory(terminal->History(), 20000, 109), "");
}

TEST_F(LongOutput, TwentyThousandLinesOfACommandFlowToTheEndWhole) {
    // ssh host 'command', as a script runs it: it must end by itself.
    StartLong("zavtest29", Command(20000, 56, "lines"));
    ASSERT_TRUE(terminal->WaitForText("ssh-exit=", 180)) << terminal->Capture();
    EXPECT_NE(terminal->Capture().find("\nlines-done\nssh-exit=0\n"), std::string::npos)
        << terminal->Capture();
    EXPECT_EQ(CheckHistory(terminal->History(), 20000, 56), "");
}

}  // namespace
