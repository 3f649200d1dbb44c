// The emulator alone: program output in, cells and events out, with no terminal and no
// program.
#include "console/ConsoleEmulator.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/Unicode.h"

namespace {

struct Recorder : ConsoleEmulator::Events {
    void Scrolled(int kept, int moved) override { scrolls.push_back({kept, moved}); }
    void MainResized(int height) override { heights.push_back(height); }
    void Reply(std::string_view bytes) override { replies.append(bytes); }

    std::vector<std::pair<int, int>> scrolls;
    std::vector<int> heights;
    std::string replies;
};

class EmulatorTest : public ::testing::Test {
  protected:
    std::string Row(int y) const {
        const ConsoleBuffer& screen = m_emulator->MainScreen();
        std::u16string text;
        for (int x = 0; x < screen.Size().X; ++x) {
            text.push_back(screen.At(x, y).info.UnicodeChar);
        }
        std::string row = unicode::Utf16ToUtf8(text);
        row.erase(row.find_last_not_of(' ') + 1);
        return row;
    }

    Recorder m_events;
    std::unique_ptr<ConsoleEmulator> m_emulator = ConsoleEmulator::Create(m_events);
};

TEST_F(EmulatorTest, LinesLeavingTheWindowAreReportedWithTheWindowsMove) {
    // 80 x 300 buffer, window rows 0-24: the window moves down over the buffer first.
    for (int i = 1; i <= 27; ++i) {
        m_emulator->Feed(std::to_string(i) + "\r\n");
    }
    ASSERT_EQ(m_events.scrolls.size(), 3U);
    for (const auto& [kept, moved] : m_events.scrolls) {
        EXPECT_EQ(kept, 1);
        EXPECT_EQ(moved, 1) << "the buffer itself did not move: the mark's row stays";
    }
    EXPECT_EQ(Row(0), "1");
    EXPECT_EQ(Row(26), "27");
    EXPECT_TRUE(m_emulator->TakeChanged());
    EXPECT_FALSE(m_emulator->TakeChanged());

    // The alternate screen keeps nothing.
    m_events.scrolls.clear();
    m_emulator->Feed("\x1b[?1049h");
    for (int i = 0; i < 30; ++i) {
        m_emulator->Feed("x\r\n");
    }
    EXPECT_TRUE(m_emulator->OnAlternateScreen());
    EXPECT_TRUE(m_events.scrolls.empty());
    m_emulator->Feed("\x1b[?1049l");
    EXPECT_EQ(Row(26), "27") << "the main screen comes back as it was";
}

TEST_F(EmulatorTest, CharactersAndStringsCutBetweenReadsArriveWhole) {
    const std::string text = "\xc3\xa9t\xc3\xa9 \x1b]2;a title\x07\xe2\x82\xac";
    for (char c : text) {
        m_emulator->Feed(std::string(1, c));
    }
    EXPECT_EQ(Row(0), "\xc3\xa9t\xc3\xa9 \xe2\x82\xac");
    EXPECT_EQ(m_emulator->Title(), "a title");
}

TEST_F(EmulatorTest, TheSessionsCursorNeverDisplacesTheProgramsOutput) {
    m_emulator->Feed("prompt> ");
    CONSOLE_SCREEN_BUFFER_INFO info{};
    m_emulator->GetInfo(info);
    // The session plants a character elsewhere and puts the cursor back where it read it.
    ASSERT_TRUE(m_emulator->SetCursor(COORD{0, 5}));
    ASSERT_TRUE(m_emulator->PutCharacter(u'#'));
    ASSERT_TRUE(m_emulator->SetCursor(info.dwCursorPosition));
    m_emulator->Feed("typed");
    EXPECT_EQ(Row(0), "prompt> typed");
    EXPECT_EQ(Row(5), "#");
    // The session's own text goes through the terminal at its cursor; LF is CR LF.
    ASSERT_TRUE(m_emulator->SetCursor(COORD{2, 7}));
    m_emulator->Write("ab\ncd");
    EXPECT_EQ(Row(7), "  ab");
    EXPECT_EQ(Row(8), "cd");
}

TEST_F(EmulatorTest, APlacementWhereTheCursorWasReadIsHonouredAfterTheProgramMoved) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    m_emulator->GetInfo(info);               // the cursor read at (0, 0)
    m_emulator->Feed(std::string(80, 'x'));  // the program waits to wrap at the row's end
    // The session plants a character at (0, 0): not a put-back of the cursor it read.
    ASSERT_TRUE(m_emulator->SetCursor(COORD{0, 0}));
    ASSERT_TRUE(m_emulator->PutCharacter(u'#')) << "the character would go through the terminal";
    m_emulator->Feed("y");
    EXPECT_EQ(Row(0), "#" + std::string(79, 'x'));
    EXPECT_EQ(Row(1), "y") << "the program's output continues where it was";
}

TEST_F(EmulatorTest, QueriesAreAnsweredThroughTheEventsAndTheBufferResizeIsReported) {
    m_emulator->Feed("\x1b[>c\x1b[6n\x1b[>0c\x1b[c");
    EXPECT_EQ(m_events.replies, "\x1b[>0;10;0c\x1b[1;1R\x1b[>0;10;0c\x1b[?1;2c")
        << "secondary attributes of a VT100, the cursor report, libvterm's primary ones";
    ASSERT_TRUE(m_emulator->SetBufferSize(COORD{80, 100}));
    EXPECT_EQ(m_events.heights, std::vector<int>{100});
    EXPECT_FALSE(m_emulator->SetBufferSize(COORD{80, 10})) << "smaller than the window";
}

// Feeds a byte at a time: the scanner's and libvterm's states carry across reads.
void FeedBytes(ConsoleEmulator& emulator, std::string_view bytes) {
    for (const char c : bytes) {
        emulator.Feed(std::string_view(&c, 1));
    }
}

TEST_F(EmulatorTest, TheModesFollowWhatTheProgramsSet) {
    using Mouse = ConsoleModes::Mouse;
    using Encoding = ConsoleModes::MouseEncoding;
    EXPECT_EQ(m_emulator->Modes(), ConsoleModes{});
    m_emulator->TakeChanged();
    // One DECSET with several modes, cut anywhere.
    FeedBytes(*m_emulator, "\x1b[?1000;1006;1004;2004h");
    ConsoleModes modes = m_emulator->Modes();
    EXPECT_EQ(modes.mouse, Mouse::Click);
    EXPECT_EQ(modes.mouseEncoding, Encoding::Sgr);
    EXPECT_TRUE(modes.focusEvents);
    EXPECT_TRUE(modes.bracketedPaste);
    EXPECT_TRUE(m_emulator->TakeChanged()) << "the client has modes to apply";
    m_emulator->Feed("\x1b[?1002h\x1b[?1005h");
    EXPECT_EQ(m_emulator->Modes().mouse, Mouse::Drag);
    EXPECT_EQ(m_emulator->Modes().mouseEncoding, Encoding::Utf8);
    m_emulator->Feed("\x1b[?1003;1015h");
    EXPECT_EQ(m_emulator->Modes().mouse, Mouse::Move);
    EXPECT_EQ(m_emulator->Modes().mouseEncoding, Encoding::Urxvt);
    m_emulator->Feed("\x1b[?1003;1015;1004;2004l\x1b[?25l");
    modes = m_emulator->Modes();
    EXPECT_EQ(modes.mouse, Mouse::None);
    EXPECT_EQ(modes.mouseEncoding, Encoding::Default);
    EXPECT_FALSE(modes.focusEvents);
    EXPECT_FALSE(modes.bracketedPaste);
    EXPECT_FALSE(modes.cursorVisible);
    m_emulator->Feed("\x1b[?25h\x1b[?1049h");
    EXPECT_TRUE(m_emulator->Modes().cursorVisible);
    EXPECT_TRUE(m_emulator->Modes().altScreen);

    // OSC 0 names both, 1 the icon, 2 the window; the session's own title is apart.
    FeedBytes(*m_emulator, "\x1b]0;both\x07");
    EXPECT_EQ(m_emulator->Modes().title, "both");
    EXPECT_EQ(m_emulator->Modes().iconName, "both");
    m_emulator->Feed("\x1b]1;icon\x1b\\\x1b]2;window\x07");
    EXPECT_EQ(m_emulator->Modes().title, "window");
    EXPECT_EQ(m_emulator->Modes().iconName, "icon");
    EXPECT_EQ(m_emulator->Title(), "window");
    m_emulator->SetTitle("the session's");
    EXPECT_EQ(m_emulator->Modes().title, "window");
}

TEST_F(EmulatorTest, TheCursorStyleIsTheProgramsChoiceOnly) {
    const auto style = [&] { return m_emulator->Modes().cursorStyle; };
    // Restoring the cursor, leaving the alternate screen and blinking report libvterm's
    // blinking block, which no program chose.
    m_emulator->Feed(
        "\x1b"
        "7\x1b"
        "8\x1b[?1049h\x1b[?1049l\x1b[?12l\x1b[?12h");
    EXPECT_EQ(style(), 0);
    for (int chosen = 1; chosen <= 6; ++chosen) {
        FeedBytes(*m_emulator, "\x1b[" + std::to_string(chosen) + " q");
        EXPECT_EQ(style(), chosen);
    }
    m_emulator->Feed("\x1b[4 q\x1b[?12h");
    EXPECT_EQ(style(), 3) << "blinking turned on: a blinking underline";
    m_emulator->Feed(
        "\x1b[2 q\x1b"
        "7\x1b[5 q\x1b"
        "8");
    EXPECT_EQ(style(), 2) << "libvterm restores the shape saved with the cursor";
    m_emulator->Feed("\x1b[9 q");
    EXPECT_EQ(style(), 2) << "no such shape: nothing changes";
    m_emulator->Feed("\x1b[0 q");
    EXPECT_EQ(style(), 0) << "the shape goes back to the client's terminal";
    m_emulator->Feed("\x1b[6 q\x1b[ q");
    EXPECT_EQ(style(), 0);
}

TEST_F(EmulatorTest, ResetsGiveTheModesBack) {
    const std::string all =
        "\x1b[?1000;1006;1004;2004h\x1b[?25l\x1b[3 q\x1b]0;title\x07\x1b[3J\x1b[?1049h";
    m_emulator->Feed(all);
    // DECSTR (which 0.1.4 ignores): libvterm's soft reset ends mouse reporting, focus
    // reports and paste markers, shows the cursor; it keeps the mouse encoding, the
    // screen and the titles.
    m_emulator->Feed("\x1b[!p");
    ConsoleModes modes = m_emulator->Modes();
    EXPECT_FALSE(modes.focusEvents);
    EXPECT_FALSE(modes.bracketedPaste);
    EXPECT_TRUE(modes.cursorVisible);
    EXPECT_EQ(modes.cursorStyle, 0);
    EXPECT_EQ(modes.mouse, ConsoleModes::Mouse::None);
    EXPECT_EQ(modes.mouseEncoding, ConsoleModes::MouseEncoding::Sgr);
    EXPECT_TRUE(modes.altScreen);
    EXPECT_EQ(modes.title, "title");

    // RIS: every mode as on a fresh console, the main screen back and cleared; the count
    // of erased scroll-backs goes on.
    m_emulator->Feed(all);
    m_emulator->Feed(
        "drawn\x1b"
        "c");
    ConsoleModes fresh;
    fresh.scrollbackErased = 2;
    EXPECT_EQ(m_emulator->Modes(), fresh);
    EXPECT_FALSE(m_emulator->OnAlternateScreen());
    m_emulator->Feed("x");
    EXPECT_EQ(Row(0), "x");

    m_emulator->Feed(all);
    m_emulator->Reset("console");
    EXPECT_EQ(m_emulator->Modes(), ConsoleModes{});
}

TEST_F(EmulatorTest, EraseScrollbackBlanksTheRowsAboveTheWindowOnly) {
    for (int i = 1; i <= 30; ++i) {
        m_emulator->Feed(std::to_string(i) + "\r\n");
    }
    const SHORT top = m_emulator->MainScreen().Window().Top;
    ASSERT_GT(top, 0);
    ASSERT_EQ(Row(0), "1");
    m_emulator->TakeChanged();
    FeedBytes(*m_emulator, "\x1b[3J");
    for (int y = 0; y < top; ++y) {
        EXPECT_EQ(Row(y), "") << y;
    }
    EXPECT_EQ(Row(top), std::to_string(top + 1)) << "the window keeps its rows";
    EXPECT_EQ(m_emulator->Modes().scrollbackErased, 1U);
    EXPECT_TRUE(m_emulator->TakeChanged());
    m_emulator->Feed("\x1b[2J\x1b[J");
    EXPECT_EQ(m_emulator->Modes().scrollbackErased, 1U) << "other erasings are not ED 3";
}

// libvterm restores the cursor alone; the console gives back the character sets saved
// with it (DEC special graphics: 'q' is a horizontal line) and the shift.
TEST_F(EmulatorTest, RestoringTheCursorRestoresTheCharacterSetsAndTheShift) {
    FeedBytes(*m_emulator,
              "\x1b(0q\x1b"
              "7\x1b(Bq\x1b"
              "8\x1b[3Cq");
    EXPECT_EQ(Row(0), "\u2500q  \u2500");
    m_emulator->Feed(
        "\r\n\x1b(B\x1b)0\x0e\x1b"
        "7\x0fq\x1b"
        "8\x1b[3Cq");
    EXPECT_EQ(Row(1), "q  \u2500") << "shifted out (G1) when saved";
    m_emulator->Feed("\x0f\r\n\x1b(0\x1b[?1049hq\x1b(Bq\x1b[?1049lq");
    EXPECT_EQ(Row(2), "\u2500") << "the alternate screen's save and restore too";
    // A reset forgets what was saved.
    m_emulator->Feed(
        "\r\n\x1b(0\x1b"
        "7\x1b[!p\x1b"
        "8q");
    EXPECT_EQ(Row(3), "q");
}

}  // namespace

// libvterm bounds a scrolling region's bottom to a smaller screen but not its top: the next
// scroll would move lines outside its table. Such a region is reset to the whole screen,
// as xterm resets its region on a resize, and the cursor keeps its place.
TEST_F(EmulatorTest, AScrollingRegionPastTheNewLastRowIsResetOnAResize) {
    m_emulator->Feed("\x1b[12;20r\x1b[3;5Hab");
    ASSERT_TRUE(m_emulator->SetWindow(SMALL_RECT{0, 0, 79, 5}));
    m_emulator->Feed("cd");
    EXPECT_EQ(Row(2), "    abcd") << "the cursor stayed where it was";
    m_emulator->Feed("\x1b[6;1H");
    for (int i = 1; i <= 8; ++i) {
        m_emulator->Feed("\r\nline " + std::to_string(i));
    }
    const SMALL_RECT& w = m_emulator->MainScreen().Window();
    EXPECT_EQ(Row(w.Bottom), "line 8") << "the whole window scrolls";
    EXPECT_EQ(Row(w.Top), "line 3");
    // A region that still has rows on the smaller screen stays: lines scroll inside it.
    m_emulator->Feed("\x1b[2;4r\x1b[4;1H");
    ASSERT_TRUE(m_emulator->SetWindow(SMALL_RECT{0, w.Top, 79, static_cast<SHORT>(w.Top + 4)}));
    m_emulator->Feed("\r\nregion");
    EXPECT_EQ(Row(w.Top), "line 3") << "the row above the region stays";
    EXPECT_EQ(Row(w.Top + 3), "region");
}
