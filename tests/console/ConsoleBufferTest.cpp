// The screen buffer's rows: a row nothing wrote reads as the blank the buffer was made
// with, wherever the ring, a resize or a scroll puts it, and a write lands in its row.
#include <gtest/gtest.h>

#include <random>
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

// Random drawing, scrolling, erasing and resizing give the same cells whether rows are kept
// whole or only as far as they were written.
TEST(ConsoleBuffer, RowsKeptInPartHoldWhatWholeRowsHold) {
    std::mt19937 random(20261209);
    const auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    const ConsoleCell blank = Cell(u' ', 7);
    const ConsoleCell blanks[] = {blank, Cell(u' ', 0x17), Cell(u'.', 7)};
    for (int round = 0; round < 100; ++round) {
        ConsoleBuffer lazy(COORD{12, 9}, SMALL_RECT{0, 0, 7, 3}, blank);
        ConsoleBuffer whole(COORD{12, 9}, SMALL_RECT{0, 0, 7, 3}, blank);
        whole.KeepRowsWhole();
        std::string log;
        int ends[16] = {};
        for (int step = 0; step < 120; ++step) {
            const int h = lazy.WindowHeight();
            const int w = lazy.WindowWidth();
            const ConsoleCell& erase = blanks[pick(4) == 0 ? 1 + pick(2) : 0];
            const int op = pick(11);
            log += std::to_string(op) + " ";
            const auto both = [&](auto&& f) {
                f(lazy);
                f(whole);
            };
            switch (op) {
                case 0: {  // a narrow character, or both halves of a wide one
                    const int r = pick(h);
                    const int c = pick(w);
                    if (pick(3) == 0 && c + 1 < w) {
                        ConsoleCell second = Cell(u'W', 7 | COMMON_LVB_TRAILING_BYTE);
                        both([&](ConsoleBuffer& b) {
                            b.Put(r, c, Cell(u'W', 7));
                            b.Put(r, c + 1, second);
                        });
                    } else {
                        const ConsoleCell narrow = Cell(static_cast<WCHAR>(u'a' + pick(26)), 7);
                        both([&](ConsoleBuffer& b) { b.Put(r, c, narrow); });
                    }
                    break;
                }
                case 1: {
                    const std::string text(
                        static_cast<std::size_t>(1 + pick(pick(2) == 0 ? 3 : 14)),
                        static_cast<char>('A' + pick(26)));
                    // Often at a row's start or where the last text on it ended, as a
                    // flood of lines writes.
                    const int r = pick(h);
                    const int where = pick(3);
                    const int c = where == 0   ? 0
                                  : where == 1 ? std::min(ends[r % 16], w - 1)
                                               : pick(w);
                    const bool hidden = pick(5) == 0;
                    const ConsoleCell pen = Cell(u' ', pick(3) == 0 ? 0x21 : 7);
                    both([&](ConsoleBuffer& b) { b.PutText(r, c, text, pen, hidden); });
                    ends[r % 16] = c + static_cast<int>(text.size());
                    break;
                }
                case 2: {
                    const int t = pick(h);
                    const int bo = t + 1 + pick(h - t);
                    const int l = pick(w);
                    const int ri = l + 1 + pick(w - l);
                    both([&](ConsoleBuffer& b) { b.Erase(t, bo, l, ri, erase); });
                    break;
                }
                case 3:
                case 4: {
                    const bool history = op == 3;
                    const int t = history ? 0 : pick(h);
                    const int bo = history ? h : t + 1 + pick(h - t);
                    const int down = pick(3) - (history ? -1 : 1);
                    const int right = history ? 0 : pick(3) - 1;
                    const int l = history ? 0 : pick(w);
                    const int ri = history ? w : l + 1 + pick(w - l);
                    both([&](ConsoleBuffer& b) {
                        b.Scroll(t, bo, l, ri, down, right, erase, history);
                    });
                    break;
                }
                case 5: {
                    const int r = pick(h);
                    both([&](ConsoleBuffer& b) { b.SetWrapped(r); });
                    break;
                }
                case 6:
                    if (pick(4) == 0) {
                        both([&](ConsoleBuffer& b) { b.EraseScrollback(erase); });
                    }
                    break;
                case 7: {
                    const COORD size{static_cast<SHORT>(w + pick(6)),
                                     static_cast<SHORT>(h + pick(7))};
                    const ConsoleCell& fresh = blanks[pick(3)];
                    both([&](ConsoleBuffer& b) { ASSERT_TRUE(b.Resize(size, fresh)); });
                    break;
                }
                case 9:
                case 10: {
                    // Lines as a flood writes them: text from the start of the bottom
                    // row, more after it (in the same pen or another), a line feed.
                    const int first = 1 + pick(3);
                    const std::string text(static_cast<std::size_t>(first + 1 + pick(3)),
                                           static_cast<char>('a' + pick(26)));
                    const ConsoleCell pen = Cell(u' ', 7);
                    const ConsoleCell next = Cell(u' ', pick(3) == 0 ? 0x21 : 7);
                    both([&](ConsoleBuffer& b) {
                        b.PutText(h - 1, 0, std::string_view(text).substr(0, first), pen, false);
                        b.PutText(h - 1, first, std::string_view(text).substr(first), next,
                                  op == 10);
                        b.Scroll(0, h, 0, w, 1, 0, erase, true);
                    });
                    break;
                }
                default: {
                    const COORD size = lazy.Size();
                    const int nh = 1 + pick(std::min<int>(size.Y, 6));
                    const int nw = 1 + pick(size.X);
                    const SMALL_RECT window{static_cast<SHORT>(pick(size.X - nw + 1)),
                                            static_cast<SHORT>(pick(size.Y - nh + 1)), 0, 0};
                    const SMALL_RECT placed{window.Left, window.Top,
                                            static_cast<SHORT>(window.Left + nw - 1),
                                            static_cast<SHORT>(window.Top + nh - 1)};
                    both([&](ConsoleBuffer& b) { ASSERT_TRUE(b.SetWindow(placed)); });
                    break;
                }
            }
            ASSERT_EQ(lazy.Size().X, whole.Size().X);
            ASSERT_EQ(lazy.Size().Y, whole.Size().Y);
            ASSERT_EQ(lazy.Window().Top, whole.Window().Top);
            // Reading a row makes it cells: compared now and then, rows stay kept as text
            // across the steps between.
            if (pick(6) != 0 && step != 119) {
                continue;
            }
            for (int y = 0; y < lazy.Size().Y; ++y) {
                ASSERT_EQ(Text(lazy, y), Text(whole, y))
                    << "round " << round << " row " << y << " after " << log;
            }
        }
    }
}
