#include "platform/ZConsole.h"

#include <gtest/gtest.h>

#include "infra/ZTraceScope.h"
#include "support/ConsoleFixture.h"
#include "support/ConsoleSupport.h"

namespace {

class ZConsoleTest : public test::ConsoleFixture {
  protected:
    void SetUp() override {
        test::ConsoleFixture::SetUp();
        test::Console().SetGeometryObserver([this](std::string_view call, const SMALL_RECT& r) {
            m_calls.push_back(std::string(call) + " " + std::to_string(r.Left) + "," +
                              std::to_string(r.Top) + "," + std::to_string(r.Right) + "," +
                              std::to_string(r.Bottom));
        });
    }
    void TearDown() override {
        test::Console().SetGeometryObserver(nullptr);
        test::ConsoleFixture::TearDown();
    }

    void Window(SHORT left, SHORT top, SHORT right, SHORT bottom) {
        SMALL_RECT rect{left, top, right, bottom};
        ASSERT_TRUE(SetConsoleWindowInfo(GetStdHandle(STD_OUTPUT_HANDLE), TRUE, &rect));
        m_calls.clear();
    }
    static bool Traced(const std::string& text) {
        return RecentLines("").find(text) != std::string::npos;
    }

    ZConsole m_console;
    std::vector<std::string> m_calls;
};

using Calls = std::vector<std::string>;

TEST_F(ZConsoleTest, HandlesAreFetchedOnceAndKept) {
    const HANDLE out = m_console.GetOutputHandle();
    EXPECT_NE(out, nullptr);
    EXPECT_EQ(out, m_console.GetOutputHandle());
    EXPECT_NE(m_console.GetInputHandle(), out);
}

TEST_F(ZConsoleTest, SetScreenSizeAlreadyRightMakesNoCall) {
    EXPECT_TRUE(m_console.SetScreenSize(COORD{80, 25}));
    EXPECT_TRUE(m_calls.empty());
    EXPECT_TRUE(Traced("screen size ok"));
}

TEST_F(ZConsoleTest, SetScreenSizeInsideTheBufferMovesOnlyTheWindow) {
    Window(0, 100, 79, 124);
    EXPECT_TRUE(m_console.SetScreenSize(COORD{60, 40}));
    EXPECT_EQ(m_calls, (Calls{"window 0,100,59,139"}));
}

TEST_F(ZConsoleTest, SetScreenSizeGrowsOnlyTheShortDimension) {
    EXPECT_TRUE(m_console.SetScreenSize(COORD{120, 30}));
    EXPECT_EQ(m_calls, (Calls{"buffer 0,0,120,300", "window 0,0,119,29"}));
}

TEST_F(ZConsoleTest, SetScreenSizePushesTheWindowAgainstTheBufferEdge) {
    Window(0, 280, 79, 299);
    EXPECT_TRUE(m_console.SetScreenSize(COORD{80, 30}));
    EXPECT_EQ(m_calls, (Calls{"window 0,270,79,299"}));
    CONSOLE_SCREEN_BUFFER_INFO info{};
    ASSERT_TRUE(m_console.GetConsoleInfo(info));
    EXPECT_EQ(info.srWindow.Top, 270);
}

TEST_F(ZConsoleTest, SetBuffSizeBelowTheWindowShrinksTheWindowFirst) {
    EXPECT_TRUE(m_console.SetBuffSize(COORD{60, 10}));
    EXPECT_EQ(m_calls, (Calls{"buffer 0,0,80,25", "window 0,0,59,9", "buffer 0,0,60,10"}));
}

TEST_F(ZConsoleTest, SetBuffSizeKeepsAWindowThatFits) {
    EXPECT_TRUE(m_console.SetBuffSize(COORD{100, 500}));
    EXPECT_EQ(m_calls, (Calls{"buffer 0,0,100,500"}));
    m_calls.clear();
    EXPECT_TRUE(m_console.SetBuffSize(COORD{100, 500}));
    EXPECT_TRUE(m_calls.empty());
    EXPECT_TRUE(Traced("buff size ok"));
}

TEST_F(ZConsoleTest, ZeroSizesFailHarmlessly) {
    EXPECT_FALSE(m_console.SetScreenSize(COORD{0, 0}));
    EXPECT_FALSE(m_console.SetBuffSize(COORD{0, 0}));
    CONSOLE_SCREEN_BUFFER_INFO info{};
    ASSERT_TRUE(m_console.GetConsoleInfo(info));
    EXPECT_EQ(info.dwSize.X, 80);
}

TEST_F(ZConsoleTest, GetOutputRowWClipsOneColumnAndRefusesTwo) {
    m_console.Write("0123456789");
    CONSOLE_SCREEN_BUFFER_INFO info{};
    ASSERT_TRUE(m_console.GetConsoleInfo(info));
    std::vector<CHAR_INFO> cells(81, CHAR_INFO{u'#', 0});
    EXPECT_TRUE(m_console.GetOutputRowW(0, cells.data(), 79, &info));
    EXPECT_EQ(cells[0].UnicodeChar, u'0');
    EXPECT_EQ(cells[78].UnicodeChar, u' ');
    EXPECT_EQ(cells[79].UnicodeChar, u'#') << "only capacity cells are delivered";
    EXPECT_FALSE(m_console.GetOutputRowW(0, cells.data(), 78, &info));
    EXPECT_TRUE(Traced("err row too wide"));
    // Rows of the scroll-back are read by their buffer index.
    EXPECT_TRUE(m_console.GetOutputRowW(299, cells.data(), 80));
}

TEST_F(ZConsoleTest, GetWindowHandleRestoresTheTitleAndCaches) {
    ASSERT_TRUE(m_console.SetTitle("shell title"));
    const HWND window = m_console.GetWindowHandle();
    ASSERT_NE(window, nullptr);
    std::string title;
    ASSERT_TRUE(m_console.GetTitle(title));
    EXPECT_EQ(title, "shell title");
    m_console.SetTitle("changed");
    EXPECT_EQ(m_console.GetWindowHandle(), window);
    EXPECT_TRUE(Traced("done handle ok"));
    ASSERT_TRUE(m_console.GetTitle(title));
    EXPECT_EQ(title, "changed") << "a cached handle does not touch the title";
}

TEST_F(ZConsoleTest, EmptyTitleMeansNoWindow) {
    ZConsole fresh;
    SetConsoleTitleA("");
    EXPECT_EQ(fresh.GetWindowHandle(), nullptr);
    EXPECT_TRUE(Traced("GetTitle( ):err"));
    char title[10];
    EXPECT_EQ(GetConsoleTitleA(title, sizeof title), 0U) << "the title is left as it was";
}

TEST_F(ZConsoleTest, HasScrollLooksAtRowsOnly) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    info.dwSize = COORD{100, 25};
    info.srWindow = SMALL_RECT{10, 0, 89, 24};
    EXPECT_FALSE(ZConsole::HasScroll(info));
    info.srWindow = SMALL_RECT{0, 1, 79, 24};
    EXPECT_TRUE(ZConsole::HasScroll(info));
    info.srWindow = SMALL_RECT{0, 0, 79, 23};
    EXPECT_TRUE(ZConsole::HasScroll(info));
}

TEST_F(ZConsoleTest, CursorRelativeToTheWindow) {
    Window(0, 100, 79, 124);
    ASSERT_TRUE(m_console.SetCursor(COORD{3, 2}, false));
    CONSOLE_SCREEN_BUFFER_INFO info{};
    ASSERT_TRUE(m_console.GetConsoleInfo(info));
    EXPECT_EQ(info.dwCursorPosition.X, 3);
    EXPECT_EQ(info.dwCursorPosition.Y, 102);
    EXPECT_FALSE(m_console.SetCursor(COORD{0, 300}, true));
    EXPECT_TRUE(Traced("SetConsoleCursorPosition( 0, 300 ):err"));
}

TEST_F(ZConsoleTest, ReadDropsTheLastCharacter) {
    ASSERT_TRUE(m_console.SetConsoleMode(ENABLE_LINE_INPUT));
    const HWND window = m_console.GetWindowHandle();
    for (char c : std::string("pw 1")) {
        PostMessageW(window, WM_CHAR, static_cast<WPARAM>(c), 0);
    }
    PostMessageW(window, WM_KEYDOWN, VK_RETURN, 0);
    std::string line = "old";
    ASSERT_TRUE(m_console.Read(line));
    EXPECT_EQ(line, "pw 1");
}

TEST_F(ZConsoleTest, WriteAndWriteWAtTheCursor) {
    ASSERT_TRUE(m_console.Write("one\ntwo "));
    ASSERT_TRUE(m_console.WriteW(u"\u00e9t\u00e9 "));
    ASSERT_TRUE(m_console.WriteW(u'\u2663'));
    EXPECT_EQ(test::Text(0), "one");
    EXPECT_EQ(test::Text(1), "two \u00e9t\u00e9 \u2663");
}

}  // namespace
