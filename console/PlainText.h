// Plain text in a program's output: printable ASCII, carriage return and line feed, the
// bytes that mean the same to every part of the console wherever they stand outside a
// sequence.
#pragma once

#include <cstddef>
#include <string_view>

namespace plain_text {

constexpr bool IsPlain(unsigned char c) {
    return (c >= 0x20 && c < 0x7F) || c == '\n' || c == '\r';
}

// The length of the run of plain bytes at the start of bytes.
inline std::size_t Length(std::string_view bytes) {
    std::size_t n = 0;
    while (n < bytes.size() && IsPlain(static_cast<unsigned char>(bytes[n]))) {
        ++n;
    }
    return n;
}

}  // namespace plain_text
