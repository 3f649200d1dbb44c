// Plain text drawn into the grid without libvterm must leave exactly what libvterm would
// have drawn: every case runs the same output through an emulator that takes the plain
// path and one that gives every byte to libvterm, and compares everything.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "console/PlainText.h"
#include "support/EmulatorTwins.h"

namespace {

std::string Lines(int count, const std::string& text, const std::string& end) {
    std::string out;
    for (int i = 0; i < count; ++i) {
        out += text + std::to_string(i) + end;
    }
    return out;
}

std::string Repeat(const std::string& text, int count) {
    std::string out;
    for (int i = 0; i < count; ++i) {
        out += text;
    }
    return out;
}

// Feeds output cut into reads of `cut` bytes.
void FeedCut(test::EmulatorTwins& twins, const std::string& output, std::size_t cut) {
    for (std::size_t at = 0; at < output.size(); at += cut) {
        twins.Feed(std::string_view(output).substr(at, cut));
    }
}

TEST(PlainText, FloodsAndLongLinesAreDrawnAsLibvtermDrawsThem) {
    const std::string wide(200, 'w');
    const struct {
        const char* name;
        std::string output;
    } cases[] = {
        {"yes", Lines(3000, "y", "\n")},
        {"yes through a terminal", Repeat("y\r\n", 3000)},
        {"lines starting further along each row", Repeat("ab\n", 3000)},
        {"empty lines and carriage returns", Lines(5000, "", "\r\n\n") + "end"},
        {"numbered lines",
         Lines(2000, "a plain line of text, as a build log prints them ", "\r\n")},
        {"lines as wide as the window", Lines(400, std::string(78, '=') + "|", "\r\n")},
        {"lines one wider than the window", Lines(400, std::string(79, '-') + "|", "\r\n")},
        {"lines that wrap twice", Lines(300, wide, "\r\n")},
        {"a line as wide as the window, then a line feed alone",
         Lines(300, std::string(80, '#'), "\n")},
        {"carriage returns over a line", Lines(500, std::string(60, 'x') + "\r" + "over", "\n")},
        {"colours around plain runs",
         Lines(500, "\x1b[1;34mdirectory\x1b[0m  plain text long enough for the path ", "\r\n")},
        {"hidden text", "\x1b[8m" + Lines(100, std::string(50, 's'), "\r\n") + "\x1b[28m"},
        {"a combining mark and a repeat after a run",
         Lines(50, std::string(40, 'e'), "\xcc\x81\x1b[3b\r\n")},
        {"a wide character at the margin, then text",
         Lines(100, std::string(78, 'z') + "\xe4\xb8\xad" + std::string(40, 'q'), "\r\n")},
    };
    for (const auto& c : cases) {
        // Large reads carry more lines than the buffer keeps: their first rows are lost.
        for (const std::size_t cut : {std::size_t{65536}, std::size_t{4096}, std::size_t{97}}) {
            test::EmulatorTwins twins;
            ASSERT_TRUE(twins.Valid());
            FeedCut(twins, c.output, cut);
            EXPECT_EQ(twins.Difference(), "") << c.name << ", reads of " << cut;
        }
    }
}

TEST(PlainText, TextUnderModesThatChangeItStillMatches) {
    const std::string text = Lines(60, std::string(45, 'm') + " plain ", "\r\n");
    const char* modes[] = {
        "\x1b[4h",              // insert mode
        "\x1b[20h",             // a line feed returns the carriage too
        "\x1b[5;12r",           // a scrolling region
        "\x1b[5;12r\x1b[r",     // one set and reset
        "\x1b[1;25r",           // the whole screen, named
        "\x1b[1;24r\x1b[30H",   // all but the last row, below it
        "\x1b[?69h\x1b[5;40s",  // left and right margins
        "\x1b#6",               // a double-width line
        "\x1b(0",               // line drawing in G0
        "\x1b)0\x0e",           // line drawing shifted in
        "\x1b*0\x1bN",          // a single shift
        "\x1b[?6h\x1b[3;9r",    // origin mode in a region
        "\x1b[?7l",             // no automatic wrap
        "\x1b[4:1h",            // a mode with a sub-parameter
        "\x1b[?1049h",          // the alternate screen
        "\x1b[5;12r\x1b[!p",    // a region, then a soft reset
        "\x1b#6\x1b"
        "c",  // a double-width line, then a full reset
    };
    for (const char* mode : modes) {
        test::EmulatorTwins twins;
        twins.Feed("before\r\n");
        twins.Feed(mode);
        FeedCut(twins, text, 1000);
        EXPECT_EQ(twins.Difference(), "") << "after " << testing::PrintToString(mode);
    }
}

TEST(PlainText, ThePlainPathIsTaken) {
    // Without it the twins would compare libvterm with itself: a run drawn by the plain
    // path draws no glyph through libvterm, which the probe counts.
    test::EmulatorTwins twins;
    twins.Feed("\x1b[4h");
    twins.Feed(Lines(10, std::string(50, 'i'), "\r\n"));
    twins.Feed("\x1b[4l");
    twins.Feed(Lines(3000, "y", "\n"));
    EXPECT_EQ(twins.Difference(), "");
}

// Random output: plain runs among the sequences that change what text does, odd bytes,
// resizes, cut anywhere.
TEST(PlainText, RandomOutputMatches) {
    const std::vector<std::string> pieces = {
        "\x1b[4h",
        "\x1b[4l",
        "\x1b[20h",
        "\x1b[20l",
        "\x1b[5;10r",
        "\x1b[r",
        "\x1b[1;25r",
        "\x1b[2;99r",
        "\x1b[?69h",
        "\x1b[?69l",
        "\x1b[2;40s",
        "\x1b#6",
        "\x1b#3",
        "\x1b#5",
        "\x1b(0",
        "\x1b(B",
        "\x0e",
        "\x0f",
        "\x1b)0",
        "\x1bN",
        "\x1b*0",
        "\x1b[31m",
        "\x1b[0m",
        "\x1b[8m",
        "\x1b[28m",
        "\x1b[?1049h",
        "\x1b[?1049l",
        "\x1b[H",
        "\x1b[10;70H",
        "\x1b[2J",
        "\x1b[K",
        "\x1b"
        "7",
        "\x1b"
        "8",
        "\x1b[3b",
        "\xcc\x81",
        "\xe4\xb8\xad",
        "\t",
        "\x08",
        "\x1b"
        "c",
        "\x1b[!p",
        "\x1b[?7l",
        "\x1b[?7h",
        "\x1b[?6h",
        "\x1b[?6l",
        "\x1b]0;title\x07",
        "\x1bM",
        "\x1b[L",
        "\x1b[M",
        "\x1b[2@",
        "\x1b[P",
        "\x0b",
        "\x1b[1;2;",
        "\x1b[4:1h",
        "\x1b"
        "E",
        "\x1b"
        "D",
        "\x1b[1;80H",
        "\x1b[25;1H",
        "\x1b[?3h",
        "\xc3",
        "\x1b",
        "\x1b[",
        "\x1b]",
        "\x1bP",
        "\x1b\\",
        "\x1b[3J",
        "\x1b[?1048h",
        "\x1b[?1048l",
        "\x1b[6n",
    };
    const int rounds = 150;
    for (int round = 0; round < rounds; ++round) {
        std::mt19937 random(static_cast<unsigned>(round));
        auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
        std::string output;
        while (output.size() < 20000) {
            const int kind = pick(10);
            if (kind < 5) {
                const int length = 1 + pick(kind == 0 ? 400 : 90);
                for (int i = 0; i < length; ++i) {
                    const int c = pick(40);
                    output += c == 0 ? '\n' : c == 1 ? '\r' : static_cast<char>(0x20 + pick(95));
                }
                output += pick(2) == 0 ? "\r\n" : "\n";
            } else if (kind < 9) {
                output += pieces[static_cast<std::size_t>(pick(static_cast<int>(pieces.size())))];
            } else {
                output += static_cast<char>(pick(256));
            }
        }
        test::EmulatorTwins twins;
        std::size_t at = 0;
        while (at < output.size()) {
            const std::size_t cut = 1 + static_cast<std::size_t>(pick(3000));
            twins.Feed(std::string_view(output).substr(at, cut));
            at += cut;
            if (pick(25) == 0) {
                const auto width = static_cast<SHORT>(20 + pick(100));
                const auto height = static_cast<SHORT>(5 + pick(40));
                twins.SetBufferSize(COORD{width, 300});
                twins.SetWindow(SMALL_RECT{0, static_cast<SHORT>(300 - height),
                                           static_cast<SHORT>(width - 1), 299});
            }
        }
        const std::string difference = twins.Difference();
        ASSERT_EQ(difference, "") << "round " << round;
    }
}

}  // namespace

namespace {

// The looks at many bytes at a time give what looking at each byte in turn gives, at
// every length and start (blocks of sixteen and their tails), for the bytes at the edges
// of each class.
TEST(PlainText, LooksAtManyBytesAtOnceAgreeWithLooksAtEach) {
    const unsigned char edges[] = {0x00, 0x09, 0x0A, 0x0D, 0x1B, 0x1F, 0x20,
                                   'a',  0x7E, 0x7F, 0x80, 0xC3, 0xFF};
    std::mt19937 random(20261210U);
    const auto check = [](std::string_view bytes) {
        std::size_t plain = 0;
        while (plain < bytes.size() &&
               plain_text::IsPlain(static_cast<unsigned char>(bytes[plain]))) {
            ++plain;
        }
        std::size_t printable = 0;
        while (printable < bytes.size() &&
               plain_text::IsPrintable(static_cast<unsigned char>(bytes[printable]))) {
            ++printable;
        }
        std::size_t special = 0;
        while (special < bytes.size() && static_cast<unsigned char>(bytes[special]) < 0x80 &&
               bytes[special] != 0x1B) {
            ++special;
        }
        bool anyPrintable = false;
        std::size_t lineFeeds = 0;
        for (const char c : bytes) {
            anyPrintable = anyPrintable || plain_text::IsPrintable(static_cast<unsigned char>(c));
            lineFeeds += c == '\n' ? 1 : 0;
        }
        const std::string shown = ::testing::PrintToString(std::string(bytes));
        ASSERT_EQ(plain_text::Length(bytes), plain) << shown;
        ASSERT_EQ(plain_text::PrintableLength(bytes), printable) << shown;
        ASSERT_EQ(plain_text::NextEscapeOrBeyondAscii(bytes), special) << shown;
        ASSERT_EQ(plain_text::HasPrintable(bytes), anyPrintable) << shown;
        ASSERT_EQ(plain_text::LineFeeds(bytes), lineFeeds) << shown;
    };
    for (int round = 0; round < 4000; ++round) {
        // Mostly printable text, so that runs reach past a block or more.
        std::string bytes(random() % 80, 'a');
        for (char& c : bytes) {
            if (random() % 8 == 0) {
                c = static_cast<char>(edges[random() % std::size(edges)]);
            }
        }
        const std::size_t start = bytes.empty() ? 0 : random() % bytes.size();
        check(std::string_view(bytes).substr(start));
    }
    // More line feeds than one pass of the count can hold in a byte.
    check(std::string(255 * 16 * 3 + 7, '\n'));
}

}  // namespace
