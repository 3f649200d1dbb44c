#include "console/ConsolePen.h"

#include <array>
#include <climits>
#include <utility>

namespace {

// ANSI colour order (black, red, green, yellow, blue, magenta, cyan, white) to the
// console's bit order (blue 1, green 2, red 4).
constexpr std::array<int, 8> kAnsiToConsole = {0, 4, 2, 6, 1, 5, 3, 7};

struct Rgb {
    int r, g, b;
};

// xterm's default palette for the 16 colours, in ANSI order.
constexpr std::array<Rgb, 16> kPalette = {{{0, 0, 0},
                                           {205, 0, 0},
                                           {0, 205, 0},
                                           {205, 205, 0},
                                           {0, 0, 238},
                                           {205, 0, 205},
                                           {0, 205, 205},
                                           {229, 229, 229},
                                           {127, 127, 127},
                                           {255, 0, 0},
                                           {0, 255, 0},
                                           {255, 255, 0},
                                           {92, 92, 255},
                                           {255, 0, 255},
                                           {0, 255, 255},
                                           {255, 255, 255}}};

int AnsiToConsole(int index) {
    return kAnsiToConsole[static_cast<std::size_t>(index & 7)] | (index >= 8 ? 8 : 0);
}

// The RGB value of a colour of the 256-colour palette above the first 16.
Rgb Extended(int index) {
    if (index >= 232) {
        const int level = 8 + (index - 232) * 10;
        return {level, level, level};
    }
    const int cube = index - 16;
    auto level = [](int v) { return v == 0 ? 0 : 55 + v * 40; };
    return {level(cube / 36), level((cube / 6) % 6), level(cube % 6)};
}

}  // namespace

WORD ConsolePen::Nearest(int red, int green, int blue) {
    int best = 0;
    long bestDistance = LONG_MAX;
    for (int i = 0; i < 16; ++i) {
        const Rgb& p = kPalette[static_cast<std::size_t>(i)];
        const long dr = red - p.r;
        const long dg = green - p.g;
        const long db = blue - p.b;
        const long distance = dr * dr + dg * dg + db * db;
        if (distance < bestDistance) {
            bestDistance = distance;
            best = i;
        }
    }
    return static_cast<WORD>(AnsiToConsole(best));
}

int ConsolePen::ToConsole(const VTermColor& color) {
    if (VTERM_COLOR_IS_DEFAULT_FG(&color) || VTERM_COLOR_IS_DEFAULT_BG(&color)) {
        return -1;
    }
    if (VTERM_COLOR_IS_INDEXED(&color)) {
        const int index = color.indexed.idx;
        if (index < 16) {
            return AnsiToConsole(index);
        }
        const Rgb rgb = Extended(index);
        return Nearest(rgb.r, rgb.g, rgb.b);
    }
    return Nearest(color.rgb.red, color.rgb.green, color.rgb.blue);
}

std::uint32_t ConsolePen::ToCell(const VTermColor& color) {
    if (VTERM_COLOR_IS_DEFAULT_FG(&color) || VTERM_COLOR_IS_DEFAULT_BG(&color)) {
        return cell_colour::kDefault;
    }
    if (VTERM_COLOR_IS_INDEXED(&color)) {
        return cell_colour::kIndexed | color.indexed.idx;
    }
    return cell_colour::kRgb | (static_cast<std::uint32_t>(color.rgb.red) << 16) |
           (static_cast<std::uint32_t>(color.rgb.green) << 8) | color.rgb.blue;
}

void ConsolePen::Reset() {
    *this = ConsolePen();
}

void ConsolePen::Set(VTermAttr attr, const VTermValue& value) {
    switch (attr) {
        case VTERM_ATTR_BOLD:
            m_bold = value.boolean != 0;
            SetFlag(cell_flag::kBold, m_bold);
            break;
        case VTERM_ATTR_UNDERLINE:
            m_underline = value.number != 0;
            m_rich.flags = static_cast<std::uint16_t>(
                (m_rich.flags & ~cell_flag::kUnderlineMask) |
                ((static_cast<unsigned>(value.number) & 3U) << cell_flag::kUnderlineShift));
            break;
        case VTERM_ATTR_REVERSE:
            m_reverse = value.boolean != 0;
            SetFlag(cell_flag::kReverse, m_reverse);
            break;
        case VTERM_ATTR_ITALIC:
            SetFlag(cell_flag::kItalic, value.boolean != 0);
            return;
        case VTERM_ATTR_BLINK:
            SetFlag(cell_flag::kBlink, value.boolean != 0);
            return;
        case VTERM_ATTR_STRIKE:
            SetFlag(cell_flag::kStrike, value.boolean != 0);
            return;
        case VTERM_ATTR_FOREGROUND:
            m_foreground = ToConsole(value.color);
            m_rich.foreground = ToCell(value.color);
            break;
        case VTERM_ATTR_BACKGROUND:
            m_background = ToConsole(value.color);
            m_rich.background = ToCell(value.color);
            break;
        default:
            return;
    }
    m_attributes = Compute();
}

WORD ConsolePen::Compute() const {
    int foreground = m_foreground < 0 ? 7 : m_foreground;
    int background = m_background < 0 ? 0 : m_background;
    if (m_bold) {
        foreground |= 8;
    }
    if (m_reverse) {
        std::swap(foreground, background);
    }
    WORD attributes = static_cast<WORD>(foreground | (background << 4));
    // Reversed defaults are explicit colours: the client has no "default as background".
    if (!m_reverse) {
        if (m_foreground < 0) {
            attributes |= CONSOLE_DEFAULT_FOREGROUND;
        }
        if (m_background < 0) {
            attributes |= CONSOLE_DEFAULT_BACKGROUND;
        }
    }
    if (m_underline) {
        attributes |= COMMON_LVB_UNDERSCORE;
    }
    return attributes;
}
