// The scroll bound against libvterm itself: random output, cut into random pieces and
// taken with random small budgets, never scrolls the screen more than the bound allowed.
#include "console/ScrollBound.h"

#include <gtest/gtest.h>
#include <vterm.h>

#include <cstdlib>
#include <memory>
#include <random>
#include <string>

namespace {

struct Terminal {
    Terminal(int rows, int columns) : vt(vterm_new(rows, columns)), rows(rows), columns(columns) {
        vterm_set_utf8(vt.get(), 1);
        state = vterm_obtain_state(vt.get());
        // libvterm calls some callbacks without looking whether they are set.
        callbacks.putglyph = [](VTermGlyphInfo*, VTermPos, void*) { return 1; };
        callbacks.movecursor = [](VTermPos, VTermPos, int, void*) { return 1; };
        callbacks.scrollrect = &Terminal::OnScrollRect;
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
        // libvterm 0.1.4 repeats (CSI b) forever before the first character it prints.
        vterm_input_write(vt.get(), " \r", 2);
    }
    // Lines that left the whole screen at its top, as the console keeps them.
    static int OnScrollRect(VTermRect rect, int downward, int rightward, void* user) {
        auto* self = static_cast<Terminal*>(user);
        if (rect.start_row == 0 && rect.start_col == 0 && rect.end_row == self->rows &&
            rect.end_col == self->columns && rightward == 0 && downward > 0) {
            self->scrolled += std::min(downward, self->rows);
        }
        return 1;
    }
    // As the console does, the start of an unfinished UTF-8 character waits for its rest
    // (libvterm breaks a character cut between two writes).
    void Write(std::string_view bytes) {
        std::string all = partial + std::string(bytes);
        std::size_t keep = 0;
        for (std::size_t back = 1; back <= 3 && back <= all.size(); ++back) {
            const auto c = static_cast<unsigned char>(all[all.size() - back]);
            if ((c & 0xC0) == 0x80) {
                continue;
            }
            const std::size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
            keep = length > back ? back : 0;
            break;
        }
        partial = all.substr(all.size() - keep);
        vterm_input_write(vt.get(), all.data(), all.size() - keep);
    }
    ScrollBound::Window Window() const {
        VTermPos pos{};
        vterm_state_get_cursorpos(state, &pos);
        return ScrollBound::Window{columns, rows, pos.col};
    }
    struct Deleter {
        void operator()(VTerm* v) const { vterm_free(v); }
    };
    std::unique_ptr<VTerm, Deleter> vt;
    VTermState* state = nullptr;
    VTermStateCallbacks callbacks{};
    int rows;
    int columns;
    int scrolled = 0;
    std::string partial;
};

std::string RandomOutput(std::mt19937& random, int columns) {
    const char* pieces[] = {"\r\n",
                            "\n",
                            "\r",
                            "\t",
                            "\x0b",
                            "\x0c",
                            "\x1b"
                            "D",
                            "\x1b"
                            "E",
                            "\x1b"
                            "M",
                            "\x1b"
                            "H",
                            "\x1b"
                            "c",
                            "\x1b[3S",
                            "\x1b[2M",
                            "\x1b[1;1H",
                            "\x1b[5;70H",
                            "\x1b[7b",
                            "\x1b[31;1m",
                            "\x1b[0m",
                            "\x1b[3g",
                            "\x1b]2;a title\x07",
                            "\x1b[?1049h",
                            "\x1b[?1049l",
                            "\x1b[2;5r",
                            "\x1b[r",
                            "\x1b"
                            "7",
                            "\x1b"
                            "8",
                            "\xe4\xb8\xad",
                            "\xc3\xa9",
                            "\xf0\x9f\x98\x80",
                            "e\xcc\x81",
                            "\x1b[999C"};
    std::string out;
    const int count = 1 + static_cast<int>(random() % 200);
    for (int i = 0; i < count; ++i) {
        if (random() % 3 == 0) {
            out += pieces[random() % std::size(pieces)];
        } else {
            out.append(random() % static_cast<unsigned>(3 * columns),
                       static_cast<char>('a' + i % 26));
        }
    }
    return out;
}

TEST(ScrollBound, NeverFallsShortOfTheTerminalsScrolls) {
    std::mt19937 random(std::getenv("ZAV_SEED") != nullptr
                            ? static_cast<unsigned>(std::atoi(std::getenv("ZAV_SEED")))
                            : 20261209U);
    for (int round = 0; round < ZAV_BOUND_ROUNDS; ++round) {
        const int columns = 2 + static_cast<int>(random() % 100);
        const int rows = 2 + static_cast<int>(random() % 30);
        Terminal terminal(rows, columns);
        ScrollBound bound;
        const std::string output = RandomOutput(random, columns);
        std::size_t at = 0;
        while (at < output.size()) {
            // A read of the program's output, cut anywhere.
            const std::size_t end = std::min(output.size(), at + 1 + random() % 300);
            std::string_view read(output.data() + at, end - at);
            while (!read.empty()) {
                const std::size_t budget = random() % 4;
                std::size_t n = bound.Take(read, budget, terminal.Window());
                std::size_t allowed = budget;
                if (n == 0) {
                    n = bound.TakeOne(read, terminal.Window());
                    allowed = SIZE_MAX;  // a single sequence the budget cannot take
                }
                terminal.scrolled = 0;
                terminal.Write(read.substr(0, n));
                ASSERT_LE(static_cast<std::size_t>(terminal.scrolled), allowed)
                    << "round " << round << ", " << columns << "x" << rows << ", bytes "
                    << ::testing::PrintToString(std::string(read.substr(0, n)));
                read.remove_prefix(n);
            }
            at = end;
        }
    }
}

TEST(ScrollBound, TakesAllWhenNothingCanScrollAndStopsBeforeTheFirstLineTooMany) {
    ScrollBound bound;
    const ScrollBound::Window window{80, 24, 0};
    EXPECT_EQ(bound.Take("plain text", 0, window), 10U);
    EXPECT_EQ(bound.Take("one\r\ntwo\r\nthree", 1, window), 9U) << "up to the second line feed";
    ScrollBound split;
    EXPECT_EQ(split.Take("\x1b[1", 0, window), 3U);
    EXPECT_EQ(split.Take("0S", 9, window), 1U)
        << "a scroll cut between two reads counts whole: it waits for a budget of 10";
    EXPECT_EQ(split.Take("S", 10, window), 1U);
}

}  // namespace
