// The export to clients that show more than sixteen colours, of text beyond one UTF-16
// unit, of soft-wrapped lines, and of the modes the client's terminal applies itself.
#include <gtest/gtest.h>

#include <memory>

#include "base/ClusterTable.h"
#include "screen/ZScreenExport.h"
#include "support/ConsoleSupport.h"

namespace {

constexpr int kWidth = 80;
constexpr int kHeight = 24;
constexpr int kTop = ZScreen::kRows - kHeight;

class ExportRich : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(ConsoleHost::Instance(), nullptr);
        m_telnet.m_clientSize = ZClientSize{kWidth, kHeight};
        m_telnet.m_codePage = 65001;
        m_telnet.m_colours = ZTelnet::Colours::Whole;
        for (ZScreen* p : {m_cur.get(), m_old.get()}) {
            p->m_window = SMALL_RECT{0, kTop, kWidth - 1, ZScreen::kRows - 1};
            p->m_valid = p->m_window;
            p->m_cursor = COORD{0, ZScreen::kRows - 1};  // changes are above it
            p->m_info.dwSize = COORD{kWidth, 300};
            p->m_info.srWindow = SMALL_RECT{0, 276, kWidth - 1, 299};
            p->m_info.wAttributes = 0x07;
            p->Cells().fill(CHAR_INFO{u' ', 0x07});
        }
        m_state.pen.attr = 0x07;
        m_state.pen.richKnown = true;
    }

    void Put(ZScreen& p, int column, int row, const std::u16string& text,
             const RichCell& rich = {}) {
        for (std::size_t i = 0; i < text.size(); ++i) {
            const int x = column + static_cast<int>(i);
            p.Row(kTop + row)[x] = CHAR_INFO{text[i], 0x07};
            p.RichRow(kTop + row)[x] = rich;
        }
    }

    std::string Export2() {
        const ZScreenExport::Frame frame = m_export->Export2(*m_cur, *m_old, m_state);
        m_state = frame.state;
        return frame.bytes;
    }

    ZTelnet m_telnet;
    std::unique_ptr<ZScreenExport> m_export = std::make_unique<ZScreenExport>(m_telnet);
    std::unique_ptr<ZScreen> m_cur = std::make_unique<ZScreen>();
    std::unique_ptr<ZScreen> m_old = std::make_unique<ZScreen>();
    ZScreenExport::State m_state;
};

TEST_F(ExportRich, TheWholePenGoesAsOneSgrAndOnlyWhenItChanges) {
    EXPECT_EQ(ZTelnet::ColoursOf("xterm-256color", ""), ZTelnet::Colours::Whole);
    EXPECT_EQ(ZTelnet::ColoursOf("xterm-direct", ""), ZTelnet::Colours::Whole);
    EXPECT_EQ(ZTelnet::ColoursOf("xterm", "truecolor"), ZTelnet::Colours::Whole);
    EXPECT_EQ(ZTelnet::ColoursOf("xterm", ""), ZTelnet::Colours::Basic);
    EXPECT_EQ(ZTelnet::ColoursOf("vt100", ""), ZTelnet::Colours::Basic);
    const RichCell orange{0, cell_colour::kIndexed | 202, cell_colour::kRgb | 0x102030,
                          cell_flag::kBold | cell_flag::kItalic | (2 << cell_flag::kUnderlineShift),
                          0};
    Put(*m_cur, 3, 2, u"ab", orange);
    EXPECT_EQ(Export2(), "\x1b[3;4f\x1b[0;1;3;21;38;5;202;48;2;16;32;48mab\x1b[24;1f\x1b[24;1f");
    *m_old = *m_cur;
    Put(*m_cur, 3, 3, u"d", orange);
    EXPECT_EQ(Export2(), "\x1b[4;4fd\x1b[24;1f\x1b[24;1f");
    // Reverse, dim, strike-through, overline, blink and curly underline as themselves.
    *m_old = *m_cur;
    const RichCell all{0, cell_colour::kIndexed | 9, cell_colour::kDefault,
                       cell_flag::kReverse | cell_flag::kDim | cell_flag::kStrike |
                           cell_flag::kOverline | cell_flag::kBlink |
                           (3 << cell_flag::kUnderlineShift),
                       0};
    Put(*m_cur, 0, 0, u"e", all);
    EXPECT_EQ(Export2(), "\x1b[1;1f\x1b[0;2;4:3;5;7;9;53;91me\x1b[24;1f\x1b[24;1f");
}

TEST_F(ExportRich, TextBeyondOneUnitGoesAsWritten) {
    const std::string woman = "\xf0\x9f\x91\xa9\xe2\x80\x8d";
    const auto number = ClusterTable::Shared().Intern(woman);
    ASSERT_TRUE(number.has_value());
    Put(*m_cur, 0, 0, u"q", RichCell{RichCell::kCluster | *number});
    Put(*m_cur, 2, 0, u"\xfffd", RichCell{0xF0001});
    EXPECT_EQ(Export2(), "\x1b[1;1f" + woman + " \xf3\xb0\x80\x81\x1b[24;1f\x1b[24;1f");
    // A client whose code page is not UTF-8 keeps the unit's character.
    m_telnet.m_codePage = 28591;
    EXPECT_EQ(m_telnet.ExportCells(std::span<const CHAR_INFO>(m_cur->Row(kTop), ZScreen::kColumns),
                                   m_cur->RichRow(kTop), 0, 0, m_state.pen),
              "q");
}

TEST_F(ExportRich, TheClientWrapsALongLineItself) {
    m_telnet.m_colours = ZTelnet::Colours::Basic;
    const std::u16string full(kWidth, u'x');
    Put(*m_cur, 0, 0, full);
    Put(*m_cur, 0, 1, u"yz");
    m_cur->RichRow(kTop)[kWidth - 1].flags = cell_flag::kWrapped;
    m_cur->m_cursor = COORD{2, kTop + 1};
    // Below the client's cursor: the rows follow each other with no line break.
    m_old->m_cursor = COORD{0, kTop};
    m_state.pen.richKnown = false;
    EXPECT_EQ(Export2(), std::string(kWidth, 'x') + "yz\x1b[2;3f");
    // In a repaint too; a row that is not wrapped is broken as before.
    m_state.mismatchShown = true;
    const std::string repaint = Export2();
    EXPECT_NE(repaint.find(std::string(kWidth, 'x') + "yz"), std::string::npos) << repaint;
    m_cur->RichRow(kTop)[kWidth - 1].flags = 0;
    m_state.mismatchShown = true;
    EXPECT_NE(Export2().find(std::string(kWidth, 'x') + "\r\nyz"), std::string::npos);
    // A row whose first character's background differs from the blanks' is broken: the
    // client's own wrap would fill the new line with it.
    m_cur->RichRow(kTop)[kWidth - 1].flags = cell_flag::kWrapped;
    m_cur->Row(kTop + 1)[0].Attributes = 0x47;
    m_state.mismatchShown = true;
    EXPECT_EQ(Export2().find(std::string(kWidth, 'x') + "\x1b"), std::string::npos);
}

// Terminals keep a line's wrap until the line is erased, whatever is written over it: a row
// the client wrapped that no longer goes on is erased and written whole.
TEST_F(ExportRich, ARowThatNoLongerGoesOnIsErasedOnTheClient) {
    m_telnet.m_colours = ZTelnet::Colours::Basic;
    Put(*m_old, 0, 3, std::u16string(kWidth, u'x'));
    m_old->RichRow(kTop + 3)[kWidth - 1].flags = cell_flag::kWrapped;
    Put(*m_cur, 0, 3, u"ab");
    EXPECT_EQ(Export2(), "\x1b[4;1f\x1b[2Kab\x1b[24;1f\x1b[24;1f");
}

TEST_F(ExportRich, ModesGoToTheClientWhenTheyChangeAndWithARepaint) {
    ConsoleModes now;
    ConsoleModes client;
    now.mouse = ConsoleModes::Mouse::Drag;
    now.mouseEncoding = ConsoleModes::MouseEncoding::Sgr;
    now.focusEvents = true;
    now.bracketedPaste = true;
    now.title = "a\x1b]2;b\x07z";
    now.iconName = now.title;
    now.cursorVisible = false;
    now.cursorStyle = 6;
    auto [before, after] = m_export->ModeChanges(now, client, false);
    EXPECT_EQ(before, "\x1b]0;a]2;bz\x07\x1b[?1002h\x1b[?1006h\x1b[?1004h\x1b[?2004h")
        << "no control character of the title reaches the client";
    EXPECT_EQ(after, "\x1b[6 q\x1b[?25l");
    EXPECT_EQ(m_export->ModeChanges(now, client, false), (std::pair<std::string, std::string>{}));
    now.mouse = ConsoleModes::Mouse::Click;
    now.bracketedPaste = false;
    now.scrollbackErased = 1;
    std::tie(before, after) = m_export->ModeChanges(now, client, false);
    EXPECT_EQ(before, "\x1b[3J\x1b[?1002l\x1b[?1000h\x1b[?2004l");
    // A repaint says again what is on, but for the title.
    std::tie(before, after) = m_export->ModeChanges(now, client, true);
    EXPECT_EQ(before, "\x1b[?1000h\x1b[?1006h\x1b[?1004h");
    EXPECT_EQ(after, "\x1b[6 q\x1b[?25l");
}

}  // namespace
