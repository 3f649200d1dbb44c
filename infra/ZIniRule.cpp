#include "infra/ZIniRule.h"

#include <algorithm>
#include <cstdint>

#include "base/AsciiCase.h"

namespace {

// A value as a problem line shows it: quoted, and cut when long.
std::string Quoted(std::string_view text) {
    constexpr std::size_t kShown = 40;
    return "'" + std::string(text.substr(0, kShown)) + (text.size() > kShown ? "...'" : "'");
}

// How many hexadecimal numbers (each with an optional 0x, at most maximum) the blank
// separated text holds; empty when a word is none.
std::optional<std::size_t> HexCount(std::string_view text, unsigned long long maximum) {
    std::size_t count = 0;
    std::size_t pos = 0;
    while (true) {
        pos = text.find_first_not_of(" \t", pos);
        if (pos == std::string_view::npos) {
            return count;
        }
        const std::size_t end = std::min(text.find_first_of(" \t", pos), text.size());
        std::string_view word = text.substr(pos, end - pos);
        pos = end;
        if (word.size() > 2 && word[0] == '0' && (word[1] | 0x20) == 'x') {
            word.remove_prefix(2);
        }
        if (word.empty() || word.size() > 8 ||
            word.find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos ||
            std::stoull(std::string(word), nullptr, 16) > maximum) {
            return std::nullopt;
        }
        ++count;
    }
}

}  // namespace

std::optional<long long> ZIniRule::Decimal(std::string_view text, bool sign) {
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || (sign && text[0] == '-'))) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    if (text.size() > 18) {
        return INT64_MAX;
    }
    long long value = 0;
    for (const char c : text) {
        value = value * 10 + (c - '0');
    }
    return negative ? -value : value;
}

std::string ZIniRule::Problem(const std::string& value) const {
    const std::string range =
        "; expected " + std::to_string(m_low) + " to " + std::to_string(m_high);
    switch (m_kind) {
        case Kind::Text:
            return {};
        case Kind::Number:
        case Kind::Signed: {
            if (value.empty()) {
                return {};
            }
            const auto number = Decimal(value, m_kind == Kind::Signed);
            if (!number) {
                return Quoted(value) + " is not a number" + range;
            }
            if (*number < m_low || *number > m_high) {
                return value + " is out of range" + range;
            }
            return {};
        }
        case Kind::Boolean:
            return value.empty() || value == "0" || value == "1" ? ""
                                                                 : Quoted(value) + " is not 0 or 1";
        case Kind::Bytes:
            return value == "eof" || HexCount(value, static_cast<unsigned long long>(m_high))
                       ? ""
                       : Quoted(value) + " is not hexadecimal bytes (00 to ff) or eof";
        case Kind::Words:
            return HexCount(value, static_cast<unsigned long long>(m_high))
                       ? ""
                       : Quoted(value) + " is not hexadecimal numbers (up to ffffffff)";
        case Kind::Triples: {
            const auto count = HexCount(value, static_cast<unsigned long long>(m_high));
            return count && *count % 3 == 0
                       ? ""
                       : Quoted(value) +
                             " is not triples of hexadecimal numbers (message, wParam, lParam)";
        }
        case Kind::Choice: {
            const std::string words = m_words != nullptr ? m_words : "";
            const std::string lower = AsciiLower(value);
            const std::string padded = " " + words + " ";
            if (value.empty() || (lower.find(' ') == std::string::npos &&
                                  padded.find(" " + lower + " ") != std::string::npos)) {
                return {};
            }
            return Quoted(value) + " is not one of: " + words;
        }
        case Kind::Names:
            return value.empty() ||
                           (value.size() >= 2 && value.front() == ':' && value.back() == ':')
                       ? ""
                       : Quoted(value) +
                             " does not begin and end with ':' (:name:name:), so its first "
                             "and last names never match";
    }
    return {};
}
