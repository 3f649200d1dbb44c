// The console as the shell and the session see it, driven by real programs on a real
// pseudo-terminal.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/ConsoleSupport.h"

namespace {

class ConsoleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(ConsoleHost::Instance(), nullptr);
        test::Console().Reset();
    }
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
    Draw(
        "printf 'plain\\n\\033[31mred\\033[0m \\033[1;32mbold\\033[0m \\033[7mrev\\033[0m "
        "\\033[4mu\\033[0m\\n\\033[38;5;196mx\\033[38;2;0;0;250my\\033[38;5;244mz\\033[0m"
        "\\033[44m \\033[0m\\033[103mb\\033[0m\\n'");
    EXPECT_EQ(test::Text(0), "plain");
    EXPECT_EQ(test::Text(1), "red bold rev u");
    EXPECT_EQ(Attr(0, 0), 0x07);
    EXPECT_EQ(Attr(1, 0), FOREGROUND_RED);
    EXPECT_EQ(Attr(1, 3), 0x07);
    EXPECT_EQ(Attr(1, 4), FOREGROUND_GREEN | FOREGROUND_INTENSITY);
    EXPECT_EQ(Attr(1, 9), 0x70) << "reverse: black on white";
    EXPECT_EQ(Attr(1, 13), 0x07 | COMMON_LVB_UNDERSCORE);
    EXPECT_EQ(test::Text(2), "xyz b");
    EXPECT_EQ(Attr(2, 0), FOREGROUND_RED | FOREGROUND_INTENSITY) << "256-colour 196";
    EXPECT_EQ(Attr(2, 1), FOREGROUND_BLUE) << "RGB 0,0,250";
    EXPECT_EQ(Attr(2, 2), FOREGROUND_INTENSITY) << "grey 244 is bright black";
    EXPECT_EQ(Attr(2, 3), 0x07 | BACKGROUND_BLUE);
    EXPECT_EQ(Attr(2, 4), 0x07 | BACKGROUND_RED | BACKGROUND_GREEN | BACKGROUND_INTENSITY);
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
    EXPECT_EQ(cells[0].Attributes, 0x07);
    EXPECT_EQ(cells[1].UnicodeChar, u'\u4e2d');
    EXPECT_EQ(cells[1].Attributes, 0x07 | COMMON_LVB_TRAILING_BYTE);
    EXPECT_EQ(cells[2].UnicodeChar, u'x');
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

// The scroll mark is written at the window's top and the cursor put back while a program
// prints lines that fill each row exactly: the program's pending line wrap must survive.
TEST_F(ConsoleTest, MarkWrittenWhileTheShellPrintsDisturbsNothing) {
    const pid_t pid = test::SpawnOnConsole(
        "i=0; while [ $i -lt 3000 ]; do i=$((i+1)); printf '%080d' $i; done; printf '<end>'");
    std::atomic<bool> done{false};
    int marks = 0;
    while (!done) {
        const auto info = test::Info();
        SetConsoleCursorPosition(m_out, COORD{0, info.srWindow.Top});
        const char16_t mark = u'\u2663';
        WriteConsoleW(m_out, &mark, 1, nullptr, nullptr);
        SetConsoleCursorPosition(m_out, info.dwCursorPosition);
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
