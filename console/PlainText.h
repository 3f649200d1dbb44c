// Plain text in a program's output: printable ASCII, carriage return and line feed, the
// bytes that mean the same to every part of the console wherever they stand outside a
// sequence. Every part of the console looks at each byte of a flood of output; these
// looks take sixteen bytes at a time where the machine can (SSE2), one at a time where
// it cannot, with the same answers.
#pragma once

#include <cstddef>
#include <string_view>

namespace plain_text {

constexpr bool IsPrintable(unsigned char c) {
    return c >= 0x20 && c < 0x7F;
}

constexpr bool IsPlain(unsigned char c) {
    return IsPrintable(c) || c == '\n' || c == '\r';
}

// The length of the run of plain bytes at the start of bytes.
std::size_t Length(std::string_view bytes);

// The length of the run of printable ASCII at the start of bytes, from `from` on.
std::size_t PrintableLengthFrom(std::string_view bytes, std::size_t from);

// The length of the run of printable ASCII at the start of bytes (a line's text: it ends
// at a carriage return, a line feed or anything else). Lines are often short: their
// first bytes are looked at one by one, here.
inline std::size_t PrintableLength(std::string_view bytes) {
    constexpr std::size_t kFirstBytes = 8;
    std::size_t n = 0;
    while (n < bytes.size() && IsPrintable(static_cast<unsigned char>(bytes[n]))) {
        if (++n == kFirstBytes) {
            return PrintableLengthFrom(bytes, n);
        }
    }
    return n;
}

// Where the first ESC or byte beyond ASCII is (bytes.size() when there is none).
std::size_t NextEscapeOrBeyondAscii(std::string_view bytes);

// Whether bytes hold a printable character.
bool HasPrintable(std::string_view bytes);

// The number of line feeds in bytes.
std::size_t LineFeeds(std::string_view bytes);

}  // namespace plain_text
