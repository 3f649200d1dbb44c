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
    m_emulator->Feed("\x1b[>c\x1b[6n");
    EXPECT_EQ(m_events.replies, "\x1b[1;1R") << "no secondary attributes; the cursor report";
    ASSERT_TRUE(m_emulator->SetBufferSize(COORD{80, 100}));
    EXPECT_EQ(m_events.heights, std::vector<int>{100});
    EXPECT_FALSE(m_emulator->SetBufferSize(COORD{80, 10})) << "smaller than the window";
}

}  // namespace
