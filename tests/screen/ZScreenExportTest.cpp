// The export's bytes for pictures built by hand.
#include "screen/ZScreenExport.h"

#include <gtest/gtest.h>

#include <memory>

#include "infra/ZTraceScope.h"
#include "support/ConsoleSupport.h"
#include "support/TestSupport.h"

namespace {

constexpr int kWidth = 80;
constexpr int kHeight = 24;
constexpr int kTop = ZScreen::kRows - kHeight;

class ExportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(ConsoleHost::Instance(), nullptr);
        test::Console().Reset();
        m_telnet.m_clientSize = ZClientSize{kWidth, kHeight};
        m_telnet.m_codePage = 65001;
        m_state.pen.attr = 0x07;  // the colour last sent
        Blank(*m_cur);
        Blank(*m_old);
    }

    // A window of 80 x 24 at the picture's bottom, console with scroll-back, all blank.
    static void Blank(ZScreen& p) {
        p.m_window = SMALL_RECT{0, kTop, kWidth - 1, ZScreen::kRows - 1};
        p.m_valid = p.m_window;
        p.m_cursor = COORD{0, kTop};
        p.m_info.dwSize = COORD{kWidth, 300};
        p.m_info.srWindow = SMALL_RECT{0, 276, kWidth - 1, 299};
        p.m_info.wAttributes = 0x07;
        p.Cells().fill(CHAR_INFO{u' ', 0x07});
    }

    static void Put(ZScreen& p, int column, int row, const std::u16string& text,
                    WORD attributes = 0x07) {
        for (std::size_t i = 0; i < text.size(); ++i) {
            p.Row(kTop + row)[column + static_cast<int>(i)] = CHAR_INFO{text[i], attributes};
        }
    }

    static void Cursor(ZScreen& p, int column, int row) {
        p.m_cursor = COORD{static_cast<SHORT>(column), static_cast<SHORT>(kTop + row)};
    }

    // One export from old to cur, its state carried to the next as Export carries it.
    std::string Export2(const ZScreen& cur, const ZScreen& old) {
        ZScreenExport::Frame frame = m_export->Export2(cur, old, m_state);
        m_state = frame.state;
        return frame.bytes;
    }

    // The size check, with the console's info as given; the notice goes to m_notice.
    ZScreenExport::Check CheckClientScreen(ZScreen& cur,
                                           const CONSOLE_SCREEN_BUFFER_INFO& console) {
        ZScreenExport::Frame frame{{}, m_state};
        const ZScreenExport::Check check = m_export->CheckClientScreen(cur, console, frame);
        m_state = frame.state;
        m_notice = frame.bytes;
        return check;
    }

    ZTelnet m_telnet;
    std::unique_ptr<ZScreenExport> m_export = std::make_unique<ZScreenExport>(m_telnet);
    std::unique_ptr<ZScreen> m_cur = std::make_unique<ZScreen>();
    std::unique_ptr<ZScreen> m_old = std::make_unique<ZScreen>();
    ZScreenExport::State m_state;
    std::string m_notice;
};

TEST_F(ExportTest, TypedCharacterEchoIsOneByteAndOneAddressing) {
    Put(*m_old, 0, 5, u"$ ");
    Cursor(*m_old, 2, 5);
    *m_cur = *m_old;
    Put(*m_cur, 2, 5, u"x");
    Cursor(*m_cur, 3, 5);
    EXPECT_EQ(Export2(*m_cur, *m_old), "x\x1b[6;4f");
}

TEST_F(ExportTest, EchoInANewColourAddressesTwice) {
    Cursor(*m_old, 2, 5);
    *m_cur = *m_old;
    Put(*m_cur, 2, 5, u"x", 0x0C);
    Cursor(*m_cur, 3, 5);
    EXPECT_EQ(Export2(*m_cur, *m_old), "\x1b[1m\x1b[31m\x1b[25m\x1b[40mx\x1b[6;4f\x1b[6;4f");
}

// Export2 keeps nothing: what the client is left in comes back in the frame, and the
// same pictures and state give the same frame again.
TEST_F(ExportTest, SameInputsGiveTheSameFrame) {
    Cursor(*m_old, 2, 5);
    *m_cur = *m_old;
    Put(*m_cur, 2, 5, u"x", 0x0C);
    Cursor(*m_cur, 3, 5);
    const ZScreenExport::Frame first = m_export->Export2(*m_cur, *m_old, m_state);
    const ZScreenExport::Frame again = m_export->Export2(*m_cur, *m_old, m_state);
    EXPECT_EQ(first.state.pen.attr, 0x0C);
    EXPECT_EQ(again.bytes, first.bytes);
    EXPECT_EQ(again.state.pen.attr, first.state.pen.attr);
}

TEST_F(ExportTest, OneCellElsewhereAddressesTheUnchangedCursorTwice) {
    Cursor(*m_old, 2, 5);
    *m_cur = *m_old;
    Put(*m_cur, 40, 2, u"Q");
    EXPECT_EQ(Export2(*m_cur, *m_old), "\x1b[3;41fQ\x1b[6;3f\x1b[6;3f");
}

TEST_F(ExportTest, NothingChangedSendsNothing) {
    Put(*m_old, 0, 0, u"same");
    *m_cur = *m_old;
    EXPECT_EQ(Export2(*m_cur, *m_old), "");
}

TEST_F(ExportTest, ChangedStretchIsFromFirstToLastDifference) {
    Put(*m_old, 0, 3, u"abcdefgh");
    Cursor(*m_old, 0, 3);
    *m_cur = *m_old;
    Put(*m_cur, 2, 3, u"C");
    Put(*m_cur, 5, 3, u"F");
    EXPECT_EQ(Export2(*m_cur, *m_old), "\x1b[4;3fCdeF\x1b[4;1f\x1b[4;1f");
}

TEST_F(ExportTest, RowBelowTheClientCursorIsReachedByLineBreaks) {
    Cursor(*m_old, 4, 2);
    *m_cur = *m_old;
    Put(*m_cur, 10, 5, u"late");
    Cursor(*m_cur, 4, 2);
    EXPECT_EQ(Export2(*m_cur, *m_old), "\r\n\r\n\r\n          late\x1b[3;5f\x1b[3;5f");
}

TEST_F(ExportTest, FirstExportIsAFullRepaintSkippingEmptyRows) {
    ZScreen zero;  // what the client has before the first export
    Put(*m_cur, 0, 0, u"row0");
    Put(*m_cur, 0, 1, u"row1");
    Put(*m_cur, 0, 2, u"row2");
    Put(*m_cur, 0, 6, u"row6");
    Cursor(*m_cur, 4, 6);
    EXPECT_EQ(Export2(*m_cur, zero),
              "\r\n\x1b[1;1f\x1b[0Jrow0\r\nrow1\r\nrow2\r\n\r\n\r\n\r\nrow6");
    Cursor(*m_cur, 0, 23);
    EXPECT_EQ(Export2(*m_cur, zero),
              "\r\n\x1b[1;1f\x1b[0Jrow0\r\nrow1\r\nrow2\r\n\r\n\r\n\r\nrow6\x1b[24;1f");
}

TEST_F(ExportTest, RepaintSendsColouredBlanksButNotDefaultOnes) {
    ZScreen zero;
    Put(*m_cur, 0, 0, u"ab   ");
    Put(*m_cur, 0, 1, u"cd");
    Put(*m_cur, 2, 1, u"  ", 0x40);
    Cursor(*m_cur, 0, 3);
    EXPECT_EQ(Export2(*m_cur, zero),
              "\r\n\x1b[1;1f\x1b[0Jab\r\ncd\x1b[22m\x1b[30m\x1b[25m\x1b[41m  \x1b[4;1f");
}

TEST_F(ExportTest, RepaintClearsInTheConsolesCurrentColour) {
    ZScreen zero;
    m_cur->m_info.wAttributes = 0x1F;
    m_cur->Cells().fill(CHAR_INFO{u' ', 0x1F});
    Put(*m_cur, 0, 0, u"x", 0x1F);
    Cursor(*m_cur, 1, 0);
    EXPECT_EQ(Export2(*m_cur, zero), "\r\n\x1b[1m\x1b[37m\x1b[25m\x1b[44m\x1b[1;1f\x1b[0Jx");
}

TEST_F(ExportTest, WholeBufferCaptureForcesARepaint) {
    *m_old = *m_cur;
    m_cur->m_valid.Top = 0;
    EXPECT_TRUE(m_export->NeedFlatScreen(*m_cur, *m_old, m_state)) << "whole buffer";
    *m_cur = *m_old;
    EXPECT_FALSE(m_export->NeedFlatScreen(*m_cur, *m_old, m_state));
    m_cur->m_window.Top = kTop - 1;
    m_cur->m_valid.Top = kTop - 1;
    EXPECT_TRUE(m_export->NeedFlatScreen(*m_cur, *m_old, m_state)) << "screen differ";
    *m_cur = *m_old;
    m_cur->m_window.Right = kWidth - 2;
    EXPECT_TRUE(m_export->NeedFlatScreen(*m_cur, *m_old, m_state)) << "screen width differ";
    *m_cur = *m_old;
    m_cur->m_info.srWindow = SMALL_RECT{0, 0, kWidth - 1, 299};
    EXPECT_TRUE(m_export->NeedFlatScreen(*m_cur, *m_old, m_state)) << "scrollback differ";
}

TEST_F(ExportTest, DumbClientNeverWritesTheBottomRightCell) {
    m_export->m_dumbClient = true;
    Cursor(*m_old, 0, 0);
    *m_cur = *m_old;
    Put(*m_cur, 76, 23, u"abcd");
    const std::string bytes = Export2(*m_cur, *m_old);
    EXPECT_NE(bytes.find("abc"), std::string::npos);
    EXPECT_EQ(bytes.find("abcd"), std::string::npos);
    m_export->m_dumbClient = false;
    EXPECT_NE(Export2(*m_cur, *m_old).find("abcd"), std::string::npos);
}

TEST_F(ExportTest, SecondHalfOfAWideCharacterAddsNoBytes) {
    ZScreen zero;
    Put(*m_cur, 0, 0, u"a");
    m_cur->Row(kTop)[1] = CHAR_INFO{u'\u4e2d', 0x07};
    m_cur->Row(kTop)[2] = CHAR_INFO{u'\u4e2d', 0x07 | COMMON_LVB_TRAILING_BYTE};
    Put(*m_cur, 3, 0, u"b");
    Cursor(*m_cur, 4, 0);
    EXPECT_EQ(Export2(*m_cur, zero),
              "\r\n\x1b[1;1f\x1b[0Ja\xe4\xb8\xad"
              "b\x1b[1;5f");
}

TEST_F(ExportTest, WideCharactersBeyondTheBmpAndOnesTheCodePageLacks) {
    ZScreen zero;
    // U+1F600 as the two halves of its pair in its two cells, then U+4E2D.
    m_cur->Row(kTop)[0] = CHAR_INFO{0xD83D, 0x07};
    m_cur->Row(kTop)[1] = CHAR_INFO{0xDE00, 0x07 | COMMON_LVB_TRAILING_BYTE};
    m_cur->Row(kTop)[2] = CHAR_INFO{u'\u4e2d', 0x07};
    m_cur->Row(kTop)[3] = CHAR_INFO{u'\u4e2d', 0x07 | COMMON_LVB_TRAILING_BYTE};
    Put(*m_cur, 4, 0, u"b");
    Cursor(*m_cur, 5, 0);
    EXPECT_EQ(Export2(*m_cur, zero),
              "\r\n\x1b[1;1f\x1b[0J\xf0\x9f\x98\x80\xe4\xb8\xad"
              "b\x1b[1;6f");
    // Latin-1 has neither: one replacement per cell keeps "b" in its column.
    m_telnet.m_codePage = 28591;
    EXPECT_EQ(Export2(*m_cur, zero), "\r\n\x1b[1;1f\x1b[0J????b");
}

TEST_F(ExportTest, MismatchNoticeOnceThenRepaint) {
    m_telnet.m_clientSize = ZClientSize{100, kHeight};
    m_state.pen.attr = 0x07;
    const CONSOLE_SCREEN_BUFFER_INFO console = m_cur->m_info;  // with scroll-back
    EXPECT_EQ(CheckClientScreen(*m_cur, console), ZScreenExport::Check::Mismatch);
    EXPECT_EQ(m_notice,
              "\x1b[1m\x1b[37m\x1b[25m\x1b[41m\x1b[1;1f\x1b[0J\x1b[13;21f"
              "ZAV error: client screen mismatch");
    EXPECT_EQ(CheckClientScreen(*m_cur, console), ZScreenExport::Check::Mismatch);
    EXPECT_EQ(m_notice, "");
    m_telnet.m_clientSize = ZClientSize{kWidth, kHeight};
    EXPECT_EQ(CheckClientScreen(*m_cur, console), ZScreenExport::Check::CarryOn);
    EXPECT_TRUE(m_export->NeedFlatScreen(*m_cur, *m_cur, m_state))
        << "the notice is replaced by a repaint";
    Export2(*m_cur, *m_cur);
    EXPECT_FALSE(m_export->NeedFlatScreen(*m_cur, *m_cur, m_state));
}

TEST_F(ExportTest, ConsoleWiderThanTheClientIsCut) {
    m_telnet.m_clientSize = ZClientSize{kWidth - 1, kHeight};
    m_cur->m_cursor.X = kWidth - 1;
    EXPECT_EQ(CheckClientScreen(*m_cur, m_cur->m_info), ZScreenExport::Check::CarryOn);
    EXPECT_EQ(m_cur->m_window.Right, kWidth - 2);
    EXPECT_EQ(m_cur->m_cursor.X, 0);
}

TEST_F(ExportTest, MismatchWithoutScrollBackIsExportedAsItIsUnlessTheClientIsTooTall) {
    // The console's window spans its whole buffer (a full-screen program).
    const std::string enter = "\x1b[?1049h";
    ConsoleAttachment attachment;
    test::Console().PrepareAttachment(attachment);
    ASSERT_EQ(::write(attachment.slave, enter.data(), enter.size()),
              static_cast<ssize_t>(enter.size()));
    ASSERT_TRUE(test::WaitFor([] { return !ZConsole::HasScroll(test::Info()); }));
    m_telnet.m_clientSize = ZClientSize{100, 30};
    EXPECT_EQ(CheckClientScreen(*m_cur, test::Info()), ZScreenExport::Check::CarryOn);
    // No console follows a client taller than the picture supports.
    m_telnet.m_clientSize = ZClientSize{100, ZScreen::kMaxWindowRows + 1};
    EXPECT_EQ(CheckClientScreen(*m_cur, test::Info()), ZScreenExport::Check::Mismatch);
    EXPECT_NE(m_notice.find("ZAV error: client screen mismatch"), std::string::npos);
}

}  // namespace
