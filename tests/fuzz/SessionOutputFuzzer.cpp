// Fuzzes the copier of a session's standard error, whose bytes come from the session's
// processes. Besides not crashing: every line it gives is bounded, holds no control
// character (C0, DEL, C1) and is valid UTF-8; a session gets at most kMaxLines lines;
// and how the bytes are cut into reads changes nothing.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "service/ZavdSessionOutput.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// Valid UTF-8 of characters that are neither controls nor surrogates.
bool Clean(const std::string& line) {
    for (std::size_t i = 0; i < line.size();) {
        const auto c = static_cast<unsigned char>(line[i]);
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7F) {
                return false;
            }
            ++i;
            continue;
        }
        const std::size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
        if (length == 0 || c > 0xF4 || i + length > line.size()) {
            return false;
        }
        char32_t code = c & (length == 2 ? 0x1FU : length == 3 ? 0x0FU : 0x07U);
        for (std::size_t k = 1; k < length; ++k) {
            const auto b = static_cast<unsigned char>(line[i + k]);
            if ((b & 0xC0) != 0x80) {
                return false;
            }
            code = code << 6 | (b & 0x3FU);
        }
        const char32_t least = length == 2 ? 0xA0 : length == 3 ? 0x800 : 0x10000;
        if (code < least || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) {
            return false;
        }
        i += length;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    ZavdSessionOutput whole;
    std::vector<std::string> lines;
    whole.Feed(bytes, lines);
    whole.Flush(lines);

    Check(lines.size() <= ZavdSessionOutput::kMaxLines);
    for (const std::string& line : lines) {
        Check(!line.empty());
        Check(line.size() <= ZavdSessionOutput::kMaxLine + 6);  // " [cut]"
        Check(Clean(line));
    }

    // The same bytes in reads of sizes the input's first byte picks.
    ZavdSessionOutput pieces;
    std::vector<std::string> again;
    const std::size_t step = size == 0 ? 1 : data[0] % 7 + 1;
    for (std::size_t at = 0; at < size; at += step) {
        pieces.Feed(bytes.substr(at, step), again);
    }
    pieces.Flush(again);
    Check(again == lines);
    return 0;
}
