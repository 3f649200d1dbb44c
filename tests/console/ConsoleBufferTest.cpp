// The screen buffer's rows: a row nothing wrote reads as the blank the buffer was made
// with, wherever the ring, a resize or a scroll puts it, and a write lands in its row.
#include <gtest/gtest.h>

#include <string>

#include "console/ConsoleBuffer.h"

namespace {

ConsoleCell Cell(WCHAR c, WORD attributes) {
    ConsoleCell cell{};
    cell.info = CHAR_INFO{c, attributes};
    return cell;
}

// Row y as text, each cell's unit and, where the attribute is not 7, a marker after it.
std::string Text(const ConsoleBuffer& buffer, int y) {
    std::string text;
    const ConsoleCell* row = buffer.Row(y);
    for (int x = 0; x < buffer.Size().X; ++x) {
        text += static_cast<char>(row[x].info.UnicodeChar);
        if (row[x].info.Attributes != 7) {
            text += '*';
        }
        if (buffer.At(x, y).info.UnicodeChar != row[x].info.UnicodeChar) {
            text += '!';  // At and Row must agree
        }
    }
    return text;
}

}  // namespace

TEST(ConsoleBuffer, RowsNeverWrittenReadAsTheBlankThroughScrollsAndResizes) {
    const ConsoleCell blank = Cell(u' ', 7);
    ConsoleBuffer buffer(COORD{4, 6}, SMALL_RECT{0, 0, 3, 1}, blank);
    for (int y = 0; y < 6; ++y) {
        EXPECT_EQ(Text(buffer, y), "    ");
    }
    buffer.PutText(0, 0, "ab", blank, false);
    buffer.Put(1, 3, Cell(u'z', 7));
    EXPECT_EQ(Text(buffer, 0), "ab  ");
    EXPECT_EQ(Text(buffer, 1), "   z");

    // Scrolled with history past the buffer's end: the ring turns over unwritten rows,
    // and each row uncovered is blanked in the scroll's own blank.
    const ConsoleCell red = Cell(u'.', 4);
    EXPECT_EQ(buffer.Scroll(0, 2, 0, 4, 1, 0, red, true), 1);
    buffer.PutText(1, 0, "cd", blank, false);
    for (int i = 0; i < 5; ++i) {
        buffer.Scroll(0, 2, 0, 4, 1, 0, red, true);
    }
    // Three moves of the window, then two turns of the ring: the top two rows are gone.
    EXPECT_EQ(buffer.Window().Top, 4);
    EXPECT_EQ(Text(buffer, 0), "cd.*.*");
    EXPECT_EQ(Text(buffer, 1), ".*.*.*.*");
    EXPECT_EQ(Text(buffer, 5), ".*.*.*.*");

    // A resize in another blank: kept rows keep their cells, rows and columns it adds
    // are the new blank, unwritten rows it keeps stay the old blank.
    ConsoleBuffer fresh(COORD{3, 3}, SMALL_RECT{0, 0, 2, 0}, blank);
    fresh.Put(0, 1, Cell(u'q', 7));
    ASSERT_TRUE(fresh.Resize(COORD{5, 4}, red));
    EXPECT_EQ(Text(fresh, 0), " q .*.*");
    EXPECT_EQ(Text(fresh, 1), "   .*.*");
    EXPECT_EQ(Text(fresh, 3), ".*.*.*.*.*");
    // Resized again in the same blank: what was unwritten is still the first blank.
    ASSERT_TRUE(fresh.Resize(COORD{5, 5}, red));
    EXPECT_EQ(Text(fresh, 2), "   .*.*");
    EXPECT_EQ(Text(fresh, 4), ".*.*.*.*.*");

    // Erasing the scroll-back writes rows that were never made.
    ConsoleBuffer tall(COORD{2, 4}, SMALL_RECT{0, 2, 1, 3}, blank);
    tall.EraseScrollback(red);
    EXPECT_EQ(Text(tall, 0), ".*.*");
    EXPECT_EQ(Text(tall, 1), ".*.*");
    EXPECT_EQ(Text(tall, 2), "  ");
    // Erasing window rows: an unmade row erased in another blank takes it; a made row
    // erased in the buffer's blank is blank again.
    tall.Put(1, 0, Cell(u'w', 7));
    tall.Erase(0, 1, 0, 2, red);
    EXPECT_EQ(Text(tall, 2), ".*.*");
    tall.Erase(0, 2, 0, 2, blank);
    EXPECT_EQ(Text(tall, 2), "  ");
    EXPECT_EQ(Text(tall, 3), "  ");
}
