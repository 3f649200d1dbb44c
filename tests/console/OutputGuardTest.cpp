// The guard in front of libvterm: well-formed output passes byte for byte, what the
// library cannot take is mended the same way however the output is cut into reads, and
// what comes out never takes the library past its limits.
#include "console/OutputGuard.h"

#include <gtest/gtest.h>
#include <vterm.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

// Output cut into reads at the given positions, through one guard.
std::string Through(std::string_view output, const std::vector<std::size_t>& cuts = {}) {
    OutputGuard guard;
    std::string result;
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        result += guard.Filter(output.substr(from, cut - from));
        from = cut;
    }
    result += guard.Filter(output.substr(from));
    return result;
}

// The same result for every cut into two reads and for a cut between every byte.
void ExpectSameWhereverCut(std::string_view output, std::string_view expected) {
    ASSERT_EQ(Through(output), expected);
    for (std::size_t cut = 1; cut < output.size(); ++cut) {
        ASSERT_EQ(Through(output, {cut}), expected) << "cut at " << cut;
    }
    std::vector<std::size_t> every;
    for (std::size_t i = 1; i < output.size(); ++i) {
        every.push_back(i);
    }
    ASSERT_EQ(Through(output, every), expected) << "a read per byte";
}

std::string Parameters(int count, std::string_view separator = ";") {
    std::string list;
    for (int i = 1; i <= count; ++i) {
        list += (i > 1 ? std::string(separator) : "") + std::to_string(i);
    }
    return list;
}

// libvterm's state layer with callbacks that count what it reports.
struct Terminal {
    Terminal() : vt(vterm_new(25, 80)) {
        vterm_set_utf8(vt.get(), 1);
        vterm_output_set_callback(
            vt.get(), [](const char*, std::size_t, void*) {}, nullptr);
        state = vterm_obtain_state(vt.get());
        callbacks.putglyph = &Terminal::OnGlyph;
        callbacks.movecursor = [](VTermPos, VTermPos, int, void*) { return 1; };
        callbacks.scrollrect = [](VTermRect, int, int, void*) { return 1; };
        callbacks.moverect = [](VTermRect, VTermRect, void*) { return 1; };
        callbacks.erase = [](VTermRect, int, void*) { return 1; };
        callbacks.initpen = [](void*) { return 1; };
        callbacks.setpenattr = [](VTermAttr, VTermValue*, void*) { return 1; };
        callbacks.settermprop = [](VTermProp, VTermValue*, void*) { return 1; };
        callbacks.bell = [](void*) { return 1; };
        callbacks.resize = [](int, int, VTermPos*, void*) { return 1; };
        callbacks.setlineinfo = [](int, const VTermLineInfo*, const VTermLineInfo*, void*) {
            return 1;
        };
        vterm_state_set_callbacks(state, &callbacks, this);
        vterm_state_reset(state, 1);
        Write(" \r");  // a character to repeat, as the console gives it
    }
    static int OnGlyph(VTermGlyphInfo* info, VTermPos pos, void* user) {
        auto* self = static_cast<Terminal*>(user);
        self->last = info->chars[0] == 0 ? 0 : info->chars[1];
        self->column = pos.col;
        ++self->glyphs;
        return 1;
    }
    void Write(std::string_view bytes) { vterm_input_write(vt.get(), bytes.data(), bytes.size()); }
    VTermPos Cursor() {
        VTermPos pos{};
        vterm_state_get_cursorpos(state, &pos);
        return pos;
    }

    struct Deleter {
        void operator()(VTerm* v) const { vterm_free(v); }
    };
    std::unique_ptr<VTerm, Deleter> vt;
    VTermState* state = nullptr;
    VTermStateCallbacks callbacks{};
    std::uint32_t last = 0;  // the second character of the last glyph
    int column = 0;
    long glyphs = 0;
};

TEST(OutputGuard, WellFormedOutputPassesByteForByteWithoutACopy) {
    const std::string output =
        "plain text\r\n\x1b[1;31mred\x1b[0m \x1b[38;2;255;128;0morange\x1b[m\x1b[?1049h"
        "\x1b[2J\x1b[H\x1b[10;20H\x1b[?25l\x1b[?2004h\x1b]0;a title\x07\x1b]2;another\x1b\\"
        "\x1bP$qm\x1b\\\x1b(B\x1b)0\x1b"
        "7\x1b"
        "8\x1b[3 q\x1b[>c\x1b[!p\x1b[4:3m\x1b[58:5:9m"
        "caf\xc3\xa9 e\xcc\x81 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80 a\xcc\x81\xcc\x82\xcc\x83"
        "\xcc\x84\xcc\x85\tend\x1b[0001;00031m\x1b[65535C\x1b[5b\x1b[" +
        Parameters(16) + "m\x1b[" + Parameters(16, ":") + "m\x1b[;;m\x1b[m";
    OutputGuard guard;
    const std::string_view passed = guard.Filter(output);
    EXPECT_EQ(passed, output);
    EXPECT_EQ(passed.data(), output.data()) << "copied although nothing changed";
    ExpectSameWhereverCut(output, output);
}

TEST(OutputGuard, AControlSequenceKeepsItsFirstSixteenParameters) {
    for (const int count : {17, 20, 40, 300}) {
        for (const std::string_view separator : {";", ":"}) {
            const std::string output =
                "a\x1b[" + Parameters(count, separator) + "mb\x1b[?" + Parameters(count) + "hc";
            const std::string expected =
                "a\x1b[" + Parameters(16, separator) + "mb\x1b[?" + Parameters(16) + "hc";
            ExpectSameWhereverCut(output, expected);
        }
    }
    // Empty parameters count too; a mixed list keeps the separators it had.
    ExpectSameWhereverCut("\x1b[" + std::string(30, ';') + "m",
                          "\x1b[" + std::string(15, ';') + "m");
    ExpectSameWhereverCut("\x1b[38:2:1:2:3;48:2:4:5:6;58:2:7:8:9;4:3m",
                          "\x1b[38:2:1:2:3;48:2:4:5:6;58:2:7:8:9;4m");
}

TEST(OutputGuard, AParameterAbove65535Becomes65535) {
    ExpectSameWhereverCut("\x1b[65536A\x1b[99999999999999999999999;3000000000Hx",
                          "\x1b[65535A\x1b[65535;65535Hx");
    ExpectSameWhereverCut("\x1b[" + std::string(7, '0') + "70000C",
                          "\x1b[" + std::string(7, '0') + "65535C");
    // Controls inside a sequence act at once: they may pass before digits kept back.
    ExpectSameWhereverCut("\x1b[12\n34C", "\x1b[\n1234C");
}

TEST(OutputGuard, StringsAreCutOrLeftOut) {
    const std::string title(OutputGuard::kMaxString, 't');
    ExpectSameWhereverCut("\x1b]0;" + title + "more\x07x", "\x1b]0;" + title.substr(2) + "\x07x");
    ExpectSameWhereverCut("\x1bP" + title + "zz\x1b\\x", "\x1bP" + title + "\x1b\\x");
    // APC, PM and SOS are left out whole; the ESC that began them is taken back.
    ExpectSameWhereverCut(
        "a\x1b_hidden\x1b\\b\x1b^pm\x07"
        "c\x1bXs\nos\x1b\\d",
        "a\x1b\x18"
        "b\x1b\x18"
        "c\x1b\x18"
        "d");
    // Controls act inside an APC but not inside an SOS; an ESC that ends neither string
    // begins a sequence of its own.
    ExpectSameWhereverCut("\x1b_a\nb\x1b[1mc", "\x1b\x18\n\x1b[1mc");
}

TEST(OutputGuard, UnsafeCharactersAreLeftOut) {
    // C1 controls written as UTF-8 would move libvterm's cursor to the left.
    ExpectSameWhereverCut(
        "a\xc2\x80\xc2\x9f"
        "b\xc2\xa0",
        "ab\xc2\xa0");
    // At most five marks on a character; a new character counts afresh.
    std::string marks;
    for (int i = 0; i < 9; ++i) {
        marks += "\xcc\x81";
    }
    ExpectSameWhereverCut("e" + marks + "o" + marks + "\x1b[1m" + marks,
                          "e" + marks.substr(0, 10) + "o" + marks.substr(0, 10) + "\x1b[1m");
    // A repeat right after a mark is taken back; after a character it passes.
    ExpectSameWhereverCut("e\xcc\x81\x1b[5bx\x1b[5b\x1b[?5b",
                          "e\xcc\x81\x1b[5\x18x\x1b[5b\x1b[?5b");
    // A status request libvterm does not know is taken back; known ones pass.
    ExpectSameWhereverCut(
        "\x1bP$qhello\x1b\\a\x1bP$q\x07"
        "b\x1bP$q\"q\x1b\\",
        "\x1bP\x18"
        "a\x1bP\x18"
        "b\x1bP$q\"q\x1b\\");
    // Broken UTF-8 passes for libvterm to show as U+FFFD.
    ExpectSameWhereverCut(
        "\xcc"
        "a\x80\xfe\xe6\x97"
        "b",
        "\xcc"
        "a\x80\xfe\xe6\x97"
        "b");
}

TEST(OutputGuard, MarksAreWhatLibvtermJoins) {
    // Every character that libvterm adds to the character before it is a mark here.
    Terminal terminal;
    std::vector<std::uint32_t> missed;
    for (char32_t c = 0xA0; c < 0x110000; ++c) {
        if ((c >= 0xD800 && c <= 0xDFFF) || (c >= 0x40000 && c < 0xE0000)) {
            continue;
        }
        std::string bytes = "\r\x1b[Ka";
        if (c < 0x800) {
            bytes += {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
        } else if (c < 0x10000) {
            bytes +=
                {static_cast<char>(0xE0 | (c >> 12)), static_cast<char>(0x80 | ((c >> 6) & 0x3F)),
                 static_cast<char>(0x80 | (c & 0x3F))};
        } else {
            bytes +=
                {static_cast<char>(0xF0 | (c >> 18)), static_cast<char>(0x80 | ((c >> 12) & 0x3F)),
                 static_cast<char>(0x80 | ((c >> 6) & 0x3F)), static_cast<char>(0x80 | (c & 0x3F))};
        }
        terminal.last = 0;
        terminal.Write(bytes);
        if (terminal.last == c && !OutputGuard::IsMark(c)) {
            missed.push_back(static_cast<std::uint32_t>(c));
        }
    }
    EXPECT_TRUE(missed.empty()) << missed.size() << " missed, the first U+" << std::hex
                                << missed.front() << " the last U+" << missed.back();
}

TEST(OutputGuard, HostileOutputKeepsLibvtermAlive) {
    // Random output rich in what the library cannot take, cut into random reads. Without
    // the guard, the first long parameter list crashes the test program, a lone mark
    // before a repeat hangs it, a C1 control moves the cursor off the screen.
    std::mt19937 random(20240517);
    const std::vector<std::string> parts = {
        "\x1b[",    ";",        ":",     "7",        "99999999999", "m",      "b",     "H",
        "\x1b",     "\x1b]0;",  "\x1bP", "\x1b_",    "\x07",        "\x1b\\", "\n",    "x",
        "\xcc\x81", "\xc2\x85", "\xe6",  "\x97\xa5", "\x18",        "?",      "\x1b[C"};
    for (int round = 0; round < 300; ++round) {
        std::string output;
        for (int i = 0; i < 400; ++i) {
            output += parts[random() % parts.size()];
        }
        Terminal terminal;
        OutputGuard guard;
        std::size_t at = 0;
        while (at < output.size()) {
            const std::size_t size = 1 + random() % 40;
            terminal.Write(guard.Filter(std::string_view(output).substr(at, size)));
            at += size;
            const VTermPos pos = terminal.Cursor();
            ASSERT_TRUE(pos.col >= 0 && pos.col < 80 && pos.row >= 0 && pos.row < 25)
                << "cursor at " << pos.row << "," << pos.col << " in round " << round;
        }
        ASSERT_EQ(Through(output), Through(output, {output.size() / 3, output.size() / 2}))
            << "round " << round;
    }
}

}  // namespace
