#include "console/PlainText.h"

#include <bit>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace plain_text {

namespace {

#if defined(__SSE2__)
// Sixteen bytes; a comparison gives each byte all ones where it holds, and Bits takes
// one bit a byte of that.
using Block = __m128i;

Block Load(const char* at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

unsigned Bits(Block mask) {
    return static_cast<unsigned>(_mm_movemask_epi8(mask));
}

// Bytes 0x20 to 0x7E. Compared as signed: the bytes beyond ASCII are negative.
Block Printable(Block x) {
    const Block aboveControls = _mm_cmpgt_epi8(x, _mm_set1_epi8(0x1F));
    return _mm_andnot_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8(0x7F)), aboveControls);
}

Block Breaks(Block x) {
    return _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('\r')),
                        _mm_cmpeq_epi8(x, _mm_set1_epi8('\n')));
}

constexpr std::size_t kBlock = 16;
constexpr unsigned kAll = 0xFFFF;

// The first byte at or after `from` whose bit `outside` sets, block by block; the bytes
// after the last whole block one by one with `scalar`.
template <class Outside, class Scalar>
std::size_t FirstOutside(std::string_view bytes, std::size_t from, Outside outside, Scalar scalar) {
    std::size_t i = from;
    for (; i + kBlock <= bytes.size(); i += kBlock) {
        const unsigned bits = outside(Load(bytes.data() + i));
        if (bits != 0) {
            return i + static_cast<std::size_t>(std::countr_zero(bits));
        }
    }
    while (i < bytes.size() && !scalar(static_cast<unsigned char>(bytes[i]))) {
        ++i;
    }
    return i;
}
#endif

}  // namespace

std::size_t Length(std::string_view bytes) {
#if defined(__SSE2__)
    return FirstOutside(
        bytes, 0, [](Block x) { return ~Bits(_mm_or_si128(Printable(x), Breaks(x))) & kAll; },
        [](unsigned char c) { return !IsPlain(c); });
#else
    std::size_t n = 0;
    while (n < bytes.size() && IsPlain(static_cast<unsigned char>(bytes[n]))) {
        ++n;
    }
    return n;
#endif
}

std::size_t PrintableLengthFrom(std::string_view bytes, std::size_t from) {
#if defined(__SSE2__)
    return FirstOutside(
        bytes, from, [](Block x) { return ~Bits(Printable(x)) & kAll; },
        [](unsigned char c) { return !IsPrintable(c); });
#else
    std::size_t n = from;
    while (n < bytes.size() && IsPrintable(static_cast<unsigned char>(bytes[n]))) {
        ++n;
    }
    return n;
#endif
}

std::size_t NextEscapeOrBeyondAscii(std::string_view bytes) {
#if defined(__SSE2__)
    return FirstOutside(
        bytes, 0,
        // The top bit of each byte is its own: set beyond ASCII.
        [](Block x) { return Bits(_mm_or_si128(x, _mm_cmpeq_epi8(x, _mm_set1_epi8(0x1B)))); },
        [](unsigned char c) { return c >= 0x80 || c == 0x1B; });
#else
    std::size_t n = 0;
    while (n < bytes.size() && static_cast<unsigned char>(bytes[n]) < 0x80 && bytes[n] != 0x1B) {
        ++n;
    }
    return n;
#endif
}

bool HasPrintable(std::string_view bytes) {
#if defined(__SSE2__)
    return FirstOutside(
               bytes, 0, [](Block x) { return Bits(Printable(x)); },
               [](unsigned char c) { return IsPrintable(c); }) < bytes.size();
#else
    for (const char c : bytes) {
        if (IsPrintable(static_cast<unsigned char>(c))) {
            return true;
        }
    }
    return false;
#endif
}

std::size_t LineFeeds(std::string_view bytes) {
    std::size_t count = 0;
    std::size_t i = 0;
#if defined(__SSE2__)
    // Each byte of `counts` counts the line feeds in its lane, for at most 255 blocks.
    const Block zero = _mm_setzero_si128();
    while (i + kBlock <= bytes.size()) {
        Block counts = zero;
        for (int blocks = 0; blocks < 255 && i + kBlock <= bytes.size(); ++blocks, i += kBlock) {
            counts =
                _mm_sub_epi8(counts, _mm_cmpeq_epi8(Load(bytes.data() + i), _mm_set1_epi8('\n')));
        }
        const Block sums = _mm_sad_epu8(counts, zero);  // two sums of eight lanes
        count += static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
                 static_cast<std::size_t>(_mm_extract_epi16(sums, 4));
    }
#endif
    for (; i < bytes.size(); ++i) {
        count += bytes[i] == '\n' ? 1 : 0;
    }
    return count;
}

}  // namespace plain_text
