// What the emulator keeps in each cell beyond a character and a 16-colour attribute word:
// the whole pen, the text as the program wrote it, and the soft wraps of its lines.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "base/ClusterTable.h"
#include "base/Unicode.h"
#include "console/ConsoleEmulator.h"

namespace {

class NoEvents : public ConsoleEmulator::Events {
  public:
    void Scrolled(int, int) override {}
    void MainResized(int) override {}
    void Reply(std::string_view) override {}
};

class EmulatorCells : public ::testing::Test {
  protected:
    const ConsoleCell& Cell(int x, int y) const {
        const ConsoleBuffer& screen = m_emulator->MainScreen();
        return screen.At(x, screen.Window().Top + y);
    }
    bool Wrapped(int y) const { return (Cell(79, y).rich.flags & cell_flag::kWrapped) != 0; }
    // The text of a window row as a client would be sent it: each cell's rich text where
    // it has one, else its unit; second halves of wide characters add nothing.
    std::string Text(int y) const {
        std::string text;
        for (int x = 0; x < 80; ++x) {
            const ConsoleCell& cell = Cell(x, y);
            if ((cell.info.Attributes & COMMON_LVB_TRAILING_BYTE) != 0) {
                continue;
            }
            const char32_t rich = cell.rich.text;
            if ((rich & RichCell::kCluster) != 0) {
                text += ClusterTable::Shared().Text(rich & ~RichCell::kCluster);
            } else {
                char bytes[4];
                const char32_t c = rich != 0 ? rich : cell.info.UnicodeChar;
                text.append(bytes, static_cast<std::size_t>(unicode::EncodeUtf8(c, bytes)));
            }
        }
        text.erase(text.find_last_not_of(' ') + 1);
        return text;
    }

    NoEvents m_events;
    std::unique_ptr<ConsoleEmulator> m_emulator = ConsoleEmulator::Create(m_events);
};

TEST_F(EmulatorCells, TheWholePenIsKeptBesideTheAttributeWord) {
    m_emulator->Feed(
        "\x1b[1;31mA\x1b[0;38;5;202;48;2;1;2;3;3;9;2;53;4:3;5mB\x1b[22;55;23mC\x1b[0mD");
    const ConsoleCell& a = Cell(0, 0);
    EXPECT_EQ(a.rich.foreground, cell_colour::kIndexed | 1) << "bold keeps the colour chosen";
    EXPECT_EQ(a.rich.flags & cell_flag::kPenMask, cell_flag::kBold);
    EXPECT_EQ(a.info.Attributes & 0xFF, 0x0C) << "the word shows bold red as bright red";
    const RichCell& b = Cell(1, 0).rich;
    EXPECT_EQ(b.foreground, cell_colour::kIndexed | 202);
    EXPECT_EQ(b.background, cell_colour::kRgb | 0x010203);
    EXPECT_EQ(b.flags & cell_flag::kPenMask,
              cell_flag::kItalic | cell_flag::kStrike | cell_flag::kDim | cell_flag::kOverline |
                  (3 << cell_flag::kUnderlineShift) | cell_flag::kBlink);
    EXPECT_EQ(Cell(2, 0).rich.flags & cell_flag::kPenMask,
              cell_flag::kStrike | (3 << cell_flag::kUnderlineShift) | cell_flag::kBlink)
        << "22 ends dim, 55 overline, 23 italic";
    EXPECT_EQ(Cell(3, 0).rich, RichCell{});
    // Erasing leaves the background and nothing else.
    m_emulator->Feed("\x1b[1;4;33;44m\x1b[2K");
    EXPECT_EQ(Cell(0, 0).rich,
              (RichCell{0, cell_colour::kDefault, cell_colour::kIndexed | 4, 0, 0}));
}

TEST_F(EmulatorCells, TextIsKeptAsTheProgramWroteIt) {
    // Flags, a ZWJ sequence, an emoji with its variation selector, a mark with no
    // precomposed form, a one-column character beyond the BMP (a Nerd Font icon) and
    // mathematical letters: what the cells give back is the bytes written.
    for (const std::string& text :
         {std::string("\xf0\x9f\x87\xa9\xf0\x9f\x87\xaa"),              // DE flag
          std::string("\xf0\x9f\x91\xa9\xe2\x80\x8d\xf0\x9f\x92\xbb"),  // woman technologist
          std::string("\xe2\x9d\xa4\xef\xb8\x8f"),                      // red heart, VS16
          std::string("q\xcc\x83"), std::string("\xf3\xb0\x80\x81"),
          std::string("\xf0\x9d\x90\x80\xf0\x9d\x90\x81\xf0\x9d\x90\x82")}) {
        m_emulator->Feed("\x1b[H\x1b[2K" + text);
        EXPECT_EQ(Text(0), text);
    }
    EXPECT_EQ(Cell(0, 0).info.UnicodeChar, 0xFFFD) << "the unit alone cannot hold 𝐀";
    m_emulator->Feed("\x1b[H\x1b[2Kq\xcc\x83");
    EXPECT_EQ(Cell(0, 0).info.UnicodeChar, u'q') << "the unit keeps the base";
}

TEST_F(EmulatorCells, OnlyTextGoingPastTheMarginWrapsALine) {
    m_emulator->Feed(std::string(80, 'x') + "yz\r\n");
    EXPECT_TRUE(Wrapped(0));
    EXPECT_FALSE(Wrapped(1));
    // A line that fills the row and then breaks is two lines.
    m_emulator->Feed(std::string(80, 'a') + "\r\nb\r\n");
    EXPECT_FALSE(Wrapped(2));
    // Text that stops at the margin and goes on after the cursor was read in between.
    m_emulator->Feed(std::string(80, 'c'));
    CONSOLE_SCREEN_BUFFER_INFO info{};
    m_emulator->GetInfo(info);
    m_emulator->Feed("\x1b[31md\x1b[0m\r\n");
    EXPECT_TRUE(Wrapped(4));
    // A wide character that does not fit the last column wraps early.
    m_emulator->Feed(std::string(79, 'e') + "\xe4\xb8\xad\r\n");
    EXPECT_TRUE(Wrapped(6));
    // Drawing over the last cell or erasing the row ends it.
    m_emulator->Feed("\x1b[1;80HZ");
    EXPECT_FALSE(Wrapped(0));
    m_emulator->Feed("\x1b[5;1H\x1b[K");
    EXPECT_FALSE(Wrapped(4));
    // A carriage return back to the column of a one-character line's only glyph is a
    // cursor move like any other: the next line is a line of its own.
    m_emulator->Feed("\x1b[H\x1b[2Jy\r\ny\r\n");
    EXPECT_FALSE(Wrapped(0));
    m_emulator->Feed("\x1b[H\x1b[2J" + [] {
        std::string lines;
        for (int i = 0; i < 40; ++i) {
            lines += "y\r\n";
        }
        return lines;
    }());
    for (int y = 0; y < 25; ++y) {
        EXPECT_FALSE(Wrapped(y)) << y;
    }
}

TEST_F(EmulatorCells, AWrapAtTheBottomMovesUpWithItsLine) {
    // The window's 25 rows full, and one more line: the lines go into the scroll-back.
    for (int i = 0; i < 25; ++i) {
        m_emulator->Feed("\r\n");
    }
    m_emulator->Feed(std::string(200, 'w') + "\r\n$ ");
    // 200 characters: two full rows and 40 more; the screen scrolled under them.
    EXPECT_TRUE(Wrapped(21));
    EXPECT_TRUE(Wrapped(22));
    EXPECT_FALSE(Wrapped(23));
    EXPECT_EQ(Text(23), std::string(40, 'w'));
    EXPECT_EQ(Text(24), "$");
}

}  // namespace
