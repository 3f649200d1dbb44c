// What a cell holds beyond the console's character unit and attribute word
// (CHAR_INFO): the character as the program wrote it where one UTF-16 unit cannot hold
// it (a code point beyond the Basic Multilingual Plane, or a whole grapheme cluster),
// and the full pen (256 and 24-bit colours, every attribute). The attribute word stays
// what it was, the 16-colour picture of the same pen, for clients that take no more.
#pragma once

#include <cstdint>

#include "win32/Win32.h"

// A colour: its kind in the top byte, its value below.
namespace cell_colour {
constexpr std::uint32_t kDefault = 0;           // the terminal's own colour
constexpr std::uint32_t kIndexed = 0x01000000;  // | palette index 0-255
constexpr std::uint32_t kRgb = 0x02000000;      // | 0xRRGGBB
constexpr std::uint32_t kKindMask = 0xFF000000;
}  // namespace cell_colour

// RichCell::flags.
namespace cell_flag {
constexpr std::uint16_t kBold = 0x0001;
constexpr std::uint16_t kDim = 0x0002;
constexpr std::uint16_t kItalic = 0x0004;
constexpr std::uint16_t kUnderlineMask = 0x0018;  // 1 single, 2 double, 3 curly
constexpr int kUnderlineShift = 3;
constexpr std::uint16_t kBlink = 0x0020;
constexpr std::uint16_t kReverse = 0x0040;
constexpr std::uint16_t kStrike = 0x0080;
constexpr std::uint16_t kOverline = 0x0100;
// The pen's attributes, as opposed to what the cell says about its line.
constexpr std::uint16_t kPenMask = 0x01FF;
// On a row's last cell: the program's text went on past the right margin into the next
// row (a soft wrap), so the two rows are one line.
constexpr std::uint16_t kWrapped = 0x8000;
}  // namespace cell_flag

struct RichCell {
    // 0: the cell's UTF-16 unit says it all. Otherwise a code point, or kCluster | the
    // number of a cluster kept by the console's ClusterTable.
    char32_t text = 0;
    std::uint32_t foreground = cell_colour::kDefault;
    std::uint32_t background = cell_colour::kDefault;
    std::uint16_t flags = 0;
    std::uint16_t reserved = 0;

    static constexpr char32_t kCluster = 0x80000000;

    bool operator==(const RichCell&) const = default;
    // Same look, whatever the text: colours and attributes.
    bool SamePen(const RichCell& other) const {
        return foreground == other.foreground && background == other.background &&
               (flags & cell_flag::kPenMask) == (other.flags & cell_flag::kPenMask);
    }
};

// A console cell: what the Windows console keeps, and the rest.
struct ConsoleCell {
    CHAR_INFO info;
    RichCell rich;
};
