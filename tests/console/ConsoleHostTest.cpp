// The console as the shell and the session see it, driven by real programs on a real
// pseudo-terminal.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <chrono>

#include <atomic>
#include <thread>

#include "console/ConsoleFlow.h"
#include "support/ConsoleFixture.h"
#include "support/ConsoleSupport.h"
#include "support/TestSupport.h"

namespace {

class ConsoleTest : public test::ConsoleFixture {
  protected:
    // Runs script to its end; it prints "<endN>" last (N counts the calls), whose arrival
    // is awaited. The mark of an earlier call is cleared first.
    std::string Draw(const std::string& script, int seconds = 20) {
        const std::string mark = "<end" + std::to_string(++m_draws) + ">";
        const pid_t pid =
            test::SpawnOnConsole("printf '\\r\\033[K'; " + script + "; printf '" + mark + "'");
        EXPECT_TRUE(test::WaitExit(pid, seconds));
        EXPECT_TRUE(test::WaitFor([&] {
            const std::string row = test::Text(test::Info().dwCursorPosition.Y);
            return row.size() >= mark.size() &&
                   row.compare(row.size() - mark.size(), mark.size(), mark) == 0;
        })) << "the program's output never arrived";
        return mark;
    }
    static WORD Attr(int row, int col) {
        return test::Cells(row)[static_cast<std::size_t>(col)].Attributes;
    }
    HANDLE m_out = GetStdHandle(STD_OUTPUT_HANDLE);
    int m_draws = 0;
};

TEST_F(ConsoleTest, TextAndColoursLandInTheirCells) {
    constexpr WORD kDefFg = CONSOLE_DEFAULT_FOREGROUND;
    constexpr WORD kDefBg = CONSOLE_DEFAULT_BACKGROUND;
    constexpr WORD kDef = CONSOLE_DEFAULT_COLOURS;
    constexpr WORD kRed = FOREGROUND_RED;
    constexpr WORD kBright = FOREGROUND_INTENSITY;
    struct Case {
        const char* sgr;
        WORD attributes;
        const char* what;
    };
    // Each is drawn as "X" in its own cell, then everything is reset.
    const Case cases[] = {
        {"", 0x07 | kDef, "the defaults, flagged as such"},
        {"31", kRed | kDefBg, "red on the default background"},
        {"1;32", FOREGROUND_GREEN | kBright | kDefBg, "bold is bright"},
        {"2", 0x07 | kDef, "dim: not in 16 colours"},
        {"3", 0x07 | kDef, "italic: not in 16 colours"},
        {"4", 0x07 | kDef | COMMON_LVB_UNDERSCORE, "underline"},
        {"7", 0x70, "reverse: explicit black on white"},
        {"1;7", 0xF0, "bold reverse: black on bright white"},
        {"91", kRed | kBright | kDefBg, "bright red"},
        {"103", 0x07 | 0x60 | BACKGROUND_INTENSITY | kDefFg, "bright yellow background"},
        {"44", 0x07 | BACKGROUND_BLUE | kDefFg, "blue background"},
        {"38;5;196", kRed | kBright | kDefBg, "256-colour 196"},
        {"38;2;0;0;250", FOREGROUND_BLUE | kDefBg, "RGB 0,0,250"},
        {"38;5;244", kBright | kDefBg, "grey 244 is bright black"},
        {"48;5;8;38;5;8", kBright | BACKGROUND_INTENSITY, "the 8 of 38;5;8 hides nothing"},
        {"48;2;255;255;255", 0x07 | 0xF0 | kDefFg, "RGB white background"},
        {"31;39;41;49", 0x07 | kDef, "back to the defaults"},
    };
    std::string script = "printf '";
    for (const Case& c : cases) {
        script += std::string("\\033[") + c.sgr + "mX\\033[0m ";
    }
    Draw(script + "\\n'");
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const int column = static_cast<int>(2 * i);
        EXPECT_EQ(test::Cells(0)[static_cast<std::size_t>(column)].UnicodeChar, u'X')
            << cases[i].what;
        EXPECT_EQ(Attr(0, column), cases[i].attributes) << cases[i].what;
    }
    EXPECT_EQ(Attr(0, 1), 0x07 | kDef) << "the space after a reset";
}

TEST_F(ConsoleTest, HiddenTextStaysHidden) {
    // Hidden text ends with 28 and with 0; an extended colour numbered 8 hides nothing,
    // nor does a sequence broken off by the next one.
    Draw(
        "printf 'a\\033[8mSECRET\\033[28mb\\033[8;31mXY\\033[0mc\\033[38;5;8md\\033[0m"
        "\\033[8\\033[31mnot\\n'");
    EXPECT_EQ(test::Text(0), "a      b  cdnot");
    EXPECT_EQ(Attr(0, 9), FOREGROUND_RED | CONSOLE_DEFAULT_BACKGROUND) << "hidden keeps its colour";
}

TEST_F(ConsoleTest, ColumnModeSwitchClearsTheScreen) {
    // Cleared, cursor home, scrolling region reset (the line feeds then reach row 4).
    const std::string mark = Draw("printf 'one\\ntwo\\033[2;3r\\033[?3h\\n\\n\\n\\nx'");
    EXPECT_EQ(test::Text(0), "");
    EXPECT_EQ(test::Text(1), "");
    EXPECT_EQ(test::Text(4), "x" + mark);
    const auto info = test::Info();
    EXPECT_EQ(info.srWindow.Right - info.srWindow.Left, 79) << "the width stays the client's";
}

TEST_F(ConsoleTest, QueriesAreAnsweredAsAVt100) {
    // Secondary attributes (CSI > c), then the primary ones (CSI c), to the program.
    test::TempDir dir;
    const pid_t pid =
        test::SpawnOnConsole("stty raw -echo; printf '\\033[>c\\033[c'; dd bs=1 count=17 of=" +
                             test::Quote(dir / "answer") + " 2>/dev/null");
    int status = -1;
    ASSERT_TRUE(test::WaitExit(pid, 20, &status));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(test::ReadFile(dir / "answer"), "\x1b[>0;10;0c\x1b[?1;2c");
}

TEST_F(ConsoleTest, ErasingAddressingAndTabs) {
    Draw(
        "printf 'xxxxxxxxxx\\nyyyyyyyyyy\\nzzzzzzzzzz\\033[2;5H\\033[K\\033[1;3H\\033[1K"
        "\\033[3;1H\\tT\\033[5;10Hmid\\033[6;1H'");
    EXPECT_EQ(test::Text(0), "   xxxxxxx");
    EXPECT_EQ(test::Text(1), "yyyy");
    EXPECT_EQ(test::Text(2), "zzzzzzzzTz");
    EXPECT_EQ(test::Text(4), "         mid");
    const std::string mark = Draw("printf '\\033[3;1H\\033[J'");
    EXPECT_EQ(test::Text(1), "yyyy");
    EXPECT_EQ(test::Text(2), mark);
    EXPECT_EQ(test::Text(4), "");
}

TEST_F(ConsoleTest, ScrollingRegionMovesOnlyItsRows) {
    Draw("printf '\\033[2J\\033[H1\\n2\\n3\\n4\\n5\\033[2;4r\\033[4;1H\\n\\033[r\\033[6;1H'");
    EXPECT_EQ(test::Text(0), "1");
    EXPECT_EQ(test::Text(1), "3");
    EXPECT_EQ(test::Text(2), "4");
    EXPECT_EQ(test::Text(3), "");
    EXPECT_EQ(test::Text(4), "5");
    EXPECT_EQ(test::Info().srWindow.Top, 0) << "a region scroll keeps no history";
}

TEST_F(ConsoleTest, WideCharacterFillsTwoCells) {
    Draw("printf '\\344\\270\\255x\\n'");
    const auto cells = test::Cells(0);
    EXPECT_EQ(cells[0].UnicodeChar, u'\u4e2d');
    EXPECT_EQ(cells[0].Attributes, ConsolePen::kDefault);
    EXPECT_EQ(cells[1].UnicodeChar, u'\u4e2d');
    EXPECT_EQ(cells[1].Attributes, ConsolePen::kDefault | COMMON_LVB_TRAILING_BYTE);
    EXPECT_EQ(cells[2].UnicodeChar, u'x');
}

TEST_F(ConsoleTest, CharactersBeyondTheBmpAndCombiningMarks) {
    // U+1F600 (two cells), e + U+0301 (composes to U+00E9), q + U+0307 (no precomposed
    // form: the mark is dropped), U+1D400 (one cell wide: no room for the pair).
    Draw("printf '\\360\\237\\230\\200|e\\314\\201|q\\314\\207|\\360\\235\\220\\200|\\n'");
    const auto cells = test::Cells(0);
    EXPECT_EQ(cells[0].UnicodeChar, 0xD83D);
    EXPECT_EQ(cells[1].UnicodeChar, 0xDE00);
    EXPECT_EQ(cells[1].Attributes, ConsolePen::kDefault | COMMON_LVB_TRAILING_BYTE);
    EXPECT_EQ(cells[2].UnicodeChar, u'|');
    EXPECT_EQ(cells[3].UnicodeChar, u'\u00e9');
    EXPECT_EQ(cells[4].UnicodeChar, u'|');
    EXPECT_EQ(cells[5].UnicodeChar, u'q');
    EXPECT_EQ(cells[6].UnicodeChar, u'|');
    EXPECT_EQ(cells[7].UnicodeChar, 0xFFFD);
    EXPECT_EQ(cells[8].UnicodeChar, u'|');
}

TEST_F(ConsoleTest, QuietSpellIsThePauseOfTheProgramsOutput) {
    ConsoleHost& console = test::Console();
    // The program pauses until the test lets it go on: the pause is at least as long as
    // the test took from seeing its first output to letting it go.
    test::TempDir dir;
    const std::string go = (dir.Path() / "go").string();
    ASSERT_EQ(::mkfifo(go.c_str(), 0600), 0);
    const pid_t pid = test::SpawnOnConsole("printf 'one '; read x < " + go + "; printf two");
    ASSERT_TRUE(test::WaitFor([] { return test::Text(0).find("one") != std::string::npos; }));
    const auto seen = std::chrono::steady_clock::now();
    { const ConsoleHost::Hold capture(console); }  // a capture measures afresh
    EXPECT_EQ(console.QuietSpell(), 0UL);
    // Something for the test to do meanwhile: a program of its own, started and ended.
    ASSERT_EQ(test::Run("/bin/sh -c 'exec /bin/true'").status, 0);
    const auto released = std::chrono::steady_clock::now();
    test::WriteFile(go, "\n");
    ASSERT_TRUE(test::WaitFor([] { return test::Text(0).find("two") != std::string::npos; }));
    EXPECT_TRUE(test::WaitExit(pid));
    const auto paused =
        std::chrono::duration_cast<std::chrono::milliseconds>(released - seen).count();
    ASSERT_GT(paused, 0) << "the test's own program took no time at all";
    EXPECT_GE(console.QuietSpell(), static_cast<unsigned long>(paused));
    { const ConsoleHost::Hold capture(console); }
    EXPECT_EQ(console.QuietSpell(), 0UL);
}

TEST_F(ConsoleTest, TitleFromOscAndTheWindowFoundByIt) {
    char title[1000];
    ASSERT_GT(GetConsoleTitleA(title, sizeof title), 0U) << "the first title is never empty";
    Draw("printf '\\033]0;my title\\007'");
    ASSERT_EQ(GetConsoleTitleA(title, sizeof title), 8U);
    EXPECT_STREQ(title, "my title");
    EXPECT_NE(FindWindowA(nullptr, "my title"), nullptr);
    EXPECT_EQ(FindWindowA(nullptr, "other"), nullptr);
    SetConsoleTitleA("");
    EXPECT_EQ(GetConsoleTitleA(title, sizeof title), 0U);
}

TEST_F(ConsoleTest, LinesLeavingTheWindowBecomeScrollBack) {
    // 80 x 300 buffer, window rows 0-24.
    Draw("seq 1 40");
    auto info = test::Info();
    EXPECT_EQ(info.srWindow.Bottom, 40);
    EXPECT_EQ(info.srWindow.Top, 16);
    for (int i = 1; i <= 40; ++i) {
        ASSERT_EQ(test::Text(i - 1), std::to_string(i));
    }
    // Past the buffer's end the whole buffer scrolls; the top rows are lost.
    const std::string mark = Draw("seq 41 400");
    info = test::Info();
    EXPECT_EQ(info.srWindow.Bottom, 299);
    EXPECT_EQ(info.srWindow.Top, 275);
    EXPECT_EQ(test::Text(299), mark);
    for (int y = 0; y < 299; ++y) {
        ASSERT_EQ(test::Text(y), std::to_string(y + 102)) << "row " << y;
    }
}

TEST_F(ConsoleTest, AlternateScreenIsWindowSizedAndGivesTheMainScreenBack) {
    Draw("seq 1 30");
    const auto before = test::Info();
    const pid_t pid = test::SpawnOnConsole(
        "printf '\\033[?1049h\\033[Hfull screen'; read x; printf '\\033[?1049l'");
    ASSERT_GE(test::WaitForRow("full screen"), 0);
    auto info = test::Info();
    EXPECT_EQ(info.dwSize.X, 80);
    EXPECT_EQ(info.dwSize.Y, 25);
    EXPECT_EQ(info.srWindow.Top, 0);
    EXPECT_EQ(info.srWindow.Bottom, 24);
    EXPECT_EQ(test::Text(0), "full screen");
    char title[1000];
    GetConsoleTitleA(title, sizeof title);
    PostMessageW(FindWindowA(nullptr, title), WM_KEYDOWN, VK_RETURN, 0);
    ASSERT_TRUE(test::WaitExit(pid));
    ASSERT_TRUE(test::WaitFor([&] { return test::Info().dwSize.Y == 300; }));
    info = test::Info();
    EXPECT_EQ(info.srWindow.Top, before.srWindow.Top);
    EXPECT_EQ(test::Text(0), "1");
    EXPECT_EQ(test::Text(29), "30");
}

TEST_F(ConsoleTest, ResizingRulesAndTheShellSeesTheNewSize) {
    EXPECT_FALSE(SetConsoleScreenBufferSize(m_out, COORD{79, 300})) << "narrower than the window";
    EXPECT_FALSE(SetConsoleScreenBufferSize(m_out, COORD{80, 24})) << "shorter than the window";
    SMALL_RECT outside{0, 290, 79, 310};
    EXPECT_FALSE(SetConsoleWindowInfo(m_out, TRUE, &outside));
    SMALL_RECT window{0, 10, 99, 39};
    EXPECT_FALSE(SetConsoleWindowInfo(m_out, TRUE, &window)) << "wider than the buffer";
    ASSERT_TRUE(SetConsoleScreenBufferSize(m_out, COORD{100, 300}));
    ASSERT_TRUE(SetConsoleWindowInfo(m_out, TRUE, &window));
    const auto info = test::Info();
    EXPECT_EQ(info.dwSize.X, 100);
    EXPECT_EQ(info.srWindow.Top, 10);
    EXPECT_EQ(info.srWindow.Bottom, 39);
    Draw("stty size");
    EXPECT_GE(test::WaitForRow("30 100"), 0);
}

TEST_F(ConsoleTest, SessionWritesLandAtTheCursorWithLineFeedAsNewLine) {
    ASSERT_TRUE(SetConsoleCursorPosition(m_out, COORD{5, 3}));
    const std::string text = "ab\ncd";
    ASSERT_TRUE(
        WriteConsoleA(m_out, text.data(), static_cast<DWORD>(text.size()), nullptr, nullptr));
    EXPECT_EQ(test::Text(3), "     ab");
    EXPECT_EQ(test::Text(4), "cd");
    const auto info = test::Info();
    EXPECT_EQ(info.dwCursorPosition.X, 2);
    EXPECT_EQ(info.dwCursorPosition.Y, 4);
    // A program started afterwards writes where the session left the cursor.
    ASSERT_TRUE(test::WaitExit(test::SpawnOnConsole("printf 'shell'")));
    EXPECT_TRUE(test::WaitFor([] { return test::Text(4) == "cdshell"; })) << test::Text(4);
}

// Output that crashes or hangs libvterm 0.1.4 unguarded: more than 16 parameters (over
// its callback pointer), huge numbers, a C1 control in UTF-8, a repeat after a lone mark.
// The console goes on and shows what follows each.
TEST_F(ConsoleTest, HostileSequencesLeaveTheConsoleWorking) {
    Draw(
        "p=$(for i in $(seq 20); do printf '31;'; done); printf \"a\\033[${p}7mb\\033[0m\"; "
        "p=$(for i in $(seq 40); do printf '32;'; done); printf \"\\033[${p}7mc\\033[0m\"; "
        "p=$(seq -s';' 90 390); printf \"\\033[${p}md\\033[0m\"; "
        "p=$(seq -s: 1 20); printf \"\\033[4:${p}me\\033[0m\\n\"; "
        "printf 'f\\033[99999999999999999999999C\\r\\n'; "
        "printf 'x\\033_hidden\\033\\\\y\\302\\205z\\n'; "
        "printf 'q\\033[C\\314\\201\\033[5br\\n'; "
        "printf '\\033[3000000000;2147483648Hg'");
    EXPECT_EQ(test::Text(0), "abcde");
    EXPECT_EQ(Attr(0, 1), FOREGROUND_RED | CONSOLE_DEFAULT_BACKGROUND)
        << "the first 16 apply, the 21st (reverse) not";
    EXPECT_EQ(Attr(0, 2), FOREGROUND_GREEN | CONSOLE_DEFAULT_BACKGROUND);
    EXPECT_EQ(test::Text(1), "f");
    EXPECT_EQ(test::Cells(24)[79].UnicodeChar, u'g') << "the largest row and column";
    EXPECT_EQ(test::Text(2), "xyz") << "an APC string is left out, a C1 control too";
    EXPECT_EQ(test::Text(3), "q r") << "the repeat after the lone mark is left out";
    // The session's own text passes the same guard.
    std::string name = "login: \x1b[0";
    for (int i = 0; i < 20; ++i) {
        name += ";0";
    }
    name += ";4096mafter";
    ASSERT_TRUE(SetConsoleCursorPosition(m_out, COORD{0, 5}));
    ASSERT_TRUE(
        WriteConsoleA(m_out, name.data(), static_cast<DWORD>(name.size()), nullptr, nullptr));
    EXPECT_EQ(test::Text(5), "login: after");
}

// The scroll mark is written at the window's top and the cursor put back while a program
// prints lines that fill each row exactly: the program's pending line wrap must survive.
TEST_F(ConsoleTest, MarkWrittenWhileTheShellPrintsDisturbsNothing) {
    const pid_t pid = test::SpawnOnConsole(
        "i=0; while [ $i -lt 3000 ]; do i=$((i+1)); printf '%080d' $i; done; printf '<end>'");
    std::atomic<bool> done{false};
    int marks = 0;
    while (!done) {
        {
            // As a capture plants it: with the output held, so that no line lands between
            // reading the cursor and putting it back.
            const auto hold = LockConsoleForCapture(m_out);
            const auto info = test::Info();
            SetConsoleCursorPosition(m_out, COORD{0, info.srWindow.Top});
            const char16_t mark = u'\u2663';
            WriteConsoleW(m_out, &mark, 1, nullptr, nullptr);
            SetConsoleCursorPosition(m_out, info.dwCursorPosition);
        }
        ++marks;
        if (::waitpid(pid, nullptr, WNOHANG) == pid) {
            done = true;
        }
    }
    const int end = test::WaitForRow("<end>");
    ASSERT_GE(end, 0) << [] {
        std::string dump;
        const auto info = test::Info();
        for (int y = std::max(0, info.dwCursorPosition.Y - 5); y <= info.dwCursorPosition.Y; ++y) {
            dump += std::to_string(y) + ": " + test::Text(y) + "\n";
        }
        return dump;
    }();
    // Every row above holds one number of 80 digits, counting down; column 0 may be a mark.
    int expected = 3000;
    for (int y = end - 1; y >= 0 && y >= end - 250; --y, --expected) {
        std::string row = test::Text(y);
        if (row.rfind("\u2663", 0) == 0) {
            row.replace(0, 3, "0");
        }
        char want[81];
        std::snprintf(want, sizeof want, "%080d", expected);
        ASSERT_EQ(row, want) << "row " << y << " after " << marks << " marks";
    }
}

TEST_F(ConsoleTest, LineReadWithoutEchoEndsInCarriageReturn) {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    ASSERT_TRUE(SetConsoleMode(in, ENABLE_LINE_INPUT));
    char title[1000];
    GetConsoleTitleA(title, sizeof title);
    HWND window = FindWindowA(nullptr, title);
    ASSERT_NE(window, nullptr);
    for (char c : std::string("s3cr")) {
        PostMessageW(window, WM_CHAR, static_cast<WPARAM>(c), 0);
    }
    PostMessageW(window, WM_KEYDOWN, 'T', 0);
    PostMessageW(window, WM_KEYDOWN, VK_RETURN, 0);
    char line[250];
    DWORD read = 0;
    ASSERT_TRUE(ReadConsoleA(in, line, sizeof line, &read, nullptr));
    EXPECT_EQ(std::string(line, read), "s3crt\r");
    EXPECT_EQ(test::Text(0), "") << "nothing echoed";
    DWORD mode = 0;
    ASSERT_TRUE(GetConsoleMode(in, &mode));
    EXPECT_EQ(mode, ENABLE_LINE_INPUT);
}

TEST_F(ConsoleTest, KeyMessagesReachTheProgramInOrder) {
    // The program reads raw bytes and prints them in hexadecimal.
    const pid_t pid = test::SpawnOnConsole(
        "stty raw -echo opost onlcr; printf 'ready1\\n'; "
        "dd bs=1 count=16 2>/dev/null | od -An -tx1 | tr -s ' \\n' ' ' ; printf '\\n\\033[?1h'; "
        "printf 'ready2\\n'; dd bs=1 count=8 2>/dev/null | od -An -tx1 | tr -s ' \\n' ' '; "
        "printf '\\n<end>'");
    ASSERT_GE(test::WaitForRow("ready1"), 0);
    char title[1000];
    GetConsoleTitleA(title, sizeof title);
    HWND window = FindWindowA(nullptr, title);
    PostMessageW(window, WM_CHAR, 'a', 0);
    PostMessageW(window, WM_KEYDOWN, VK_UP, 0);
    PostMessageW(window, WM_KEYUP, VK_UP, 0);  // nothing
    PostMessageW(window, WM_KEYDOWN, VK_LEFT, 0);
    PostMessageW(window, WM_CHAR, 0x03, 0);    // a control byte as it is
    PostMessageW(window, WM_SYSCHAR, 'x', 0);  // Alt+x
    PostMessageW(window, WM_CHAR, 0xE9, 0);    // é in UTF-8
    PostMessageW(window, WM_CHAR, 0xD83D, 0);  // a surrogate pair: one character
    PostMessageW(window, WM_CHAR, 0xDE00, 0);
    ASSERT_GE(test::WaitForRow("ready2"), 0);
    PostMessageW(window, WM_KEYDOWN, VK_UP, 0);  // application cursor mode now
    PostMessageW(window, WM_KEYDOWN, VK_RETURN, 0);
    PostMessageW(window, WM_KEYDOWN, VK_BACK, 0);
    PostMessageW(window, WM_KEYDOWN, VK_F1, 0);
    ASSERT_TRUE(test::WaitExit(pid));
    ASSERT_GE(test::WaitForRow("<end>"), 0);
    const int first = test::WaitForRow("ready1");
    EXPECT_EQ(test::Text(first + 1), " 61 1b 5b 41 1b 5b 44 03 1b 78 c3 a9 f0 9f 98 80");
    const int second = test::WaitForRow("ready2");
    EXPECT_EQ(test::Text(second + 1), " 1b 4f 41 0d 7f 1b 4f 50");
}

TEST_F(ConsoleTest, CtrlCEventInterruptsTheForegroundProgramOnly) {
    EXPECT_FALSE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) << "no program on the console";
    const pid_t pid = test::SpawnOnConsole(
        "trap 'echo interrupted' INT; printf 'sleeping\\n'; sleep 30; echo '<end>'");
    ASSERT_GE(test::WaitForRow("sleeping"), 0);
    // An event that reaches the shell just before sleep starts only runs the trap, so
    // the event is repeated until the program ends; the test process is never hit.
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0U));
    bool ended = false;
    for (int attempt = 0; attempt < 50 && !ended; ++attempt) {
        ASSERT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0));
        pollfd pfd{fd, POLLIN, 0};
        ended = ::poll(&pfd, 1, 200) == 1;
    }
    ::close(fd);
    ASSERT_TRUE(test::WaitExit(pid, ended ? 10 : 0)) << "sleep was not interrupted";
    EXPECT_GE(test::WaitForRow("<end>"), 0);
    EXPECT_GE(test::WaitForRow("interrupted"), 0);
}

TEST_F(ConsoleTest, HeavyOutputWhileRowsAreCapturedContinuously) {
    std::atomic<bool> stop{false};
    std::atomic<long> captures{0};
    std::thread reader([&] {
        std::vector<CHAR_INFO> row(200);
        while (!stop) {
            CONSOLE_SCREEN_BUFFER_INFO info{};
            GetConsoleScreenBufferInfo(m_out, &info);
            for (SHORT y = info.srWindow.Top; y <= info.srWindow.Bottom; ++y) {
                SMALL_RECT region{info.srWindow.Left, y, info.srWindow.Right, y};
                ReadConsoleOutputW(m_out, row.data(), COORD{200, 1}, COORD{0, 0}, &region);
                for (int x = 0; x <= region.Right - region.Left; ++x) {
                    const char16_t c = row[static_cast<std::size_t>(x)].UnicodeChar;
                    ASSERT_TRUE(c == u'y' || c == u' ' || c == u'<' || c == u'>' ||
                                (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9'));
                }
            }
            ++captures;
        }
    });
    const std::string mark = Draw("yes | head -c " + std::string(ZAV_STRESS_BYTES), 240);
    stop = true;
    reader.join();
    EXPECT_GT(captures.load(), 0);
    const auto info = test::Info();
    EXPECT_EQ(test::Text(info.srWindow.Bottom), mark);
    for (int y = info.srWindow.Top; y < info.srWindow.Bottom; ++y) {
        ASSERT_EQ(test::Text(y), "y") << "row " << y;
    }
}

}  // namespace

namespace {

TEST_F(ConsoleTest, ResetDropsTheOutputHeldForACapture) {
    ConsoleHost& console = test::Console();
    console.GuardScroll(0, 1);  // one line may scroll past the mark on row 0
    // One write of 20 lines: the pump reads it whole and holds most of it back. (Short
    // enough for one of the terminal's buffers: a longer write may reach the pump in two
    // reads, and what it had not read before the reset is rightly shown after it.)
    const pid_t pid = test::SpawnOnConsole("printf '%s' \"$(seq -f 'held %g' 1 20)\"");
    ASSERT_TRUE(test::WaitExit(pid));
    ASSERT_TRUE(test::WaitFor([&] { return console.CaptureWanted(); }));
    EXPECT_NE(test::Text(0), "") << "the output began to arrive";

    console.Reset();
    Draw("printf after");
    EXPECT_EQ(test::Text(0).rfind("after", 0), 0U) << test::Text(0);
    for (int y = 1; y < 300; ++y) {
        ASSERT_EQ(test::Text(y), "") << "row " << y;
    }
}

}  // namespace

// The main screen's mark used up all its lines just before a full-screen program started:
// captures of the alternate screen take none of the main screen's lines and plant no mark,
// yet the program's output goes on (it used to wait for a capture of the main screen,
// which could only come after the program left the alternate screen: never).
TEST_F(ConsoleTest, OutputOnTheAlternateScreenIsNotHeldForTheMainScreensMark) {
    ConsoleHost& host = *ConsoleHost::Instance();
    host.Reset();
    const std::string lines(40, '\n');
    ASSERT_EQ(host.ApplyOutput(lines), lines.size());
    const SHORT top = test::Info().srWindow.Top;
    host.GuardScroll(top, 3);
    EXPECT_EQ(host.ApplyOutput(lines), 3U) << "three lines may scroll past the mark";
    EXPECT_EQ(host.ApplyOutput(lines), 0U) << "held for a capture";
    const std::string enter = "\x1b[?1049h";
    ASSERT_EQ(host.ApplyOutput(enter), enter.size());
    host.GuardScroll(-1, 0);  // what a capture of the alternate screen plants
    EXPECT_EQ(host.ApplyOutput(lines), lines.size());
    const std::string leave = "\x1b[?1049l";
    ASSERT_EQ(host.ApplyOutput(leave), leave.size());
    EXPECT_EQ(test::Info().srWindow.Top, top + 3) << "the main screen moved only the three";
    host.Reset();
}
