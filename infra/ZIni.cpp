#include "infra/ZIni.h"

#include <array>
#include <cctype>
#include <optional>
#include <string_view>

#include "infra/ZIniLookups.h"
#include "infra/ZTraceScope.h"
#include "win32/Win32.h"

namespace {

constexpr std::string_view kEndOfList = "eof";

bool IsSpace(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

int DigitValue(char c, unsigned base) {
    int digit = -1;
    if (c >= '0' && c <= '9') {
        digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
        digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
        digit = c - 'A' + 10;
    }
    return digit >= 0 && static_cast<unsigned>(digit) < base ? digit : -1;
}

// Reads one number from text at pos the way an input stream does for an unsigned type of
// the given maximum: leading white space, an optional sign, in base 16 an optional 0x
// prefix, then digits up to the first non-digit. A minus sign negates within the width.
// Empty on no digits or a magnitude above the maximum; pos then stays where it was.
std::optional<std::uint64_t> ReadNumber(std::string_view text, std::size_t& pos, unsigned base,
                                        std::uint64_t maximum) {
    std::size_t i = pos;
    while (i < text.size() && IsSpace(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (base == 16 && i + 1 < text.size() && text[i] == '0' && (text[i + 1] | 0x20) == 'x' &&
        i + 2 < text.size() && DigitValue(text[i + 2], 16) >= 0) {
        i += 2;
    }
    std::uint64_t magnitude = 0;
    std::size_t digits = 0;
    for (; i < text.size(); ++i) {
        const int digit = DigitValue(text[i], base);
        if (digit < 0) {
            break;
        }
        ++digits;
        magnitude = magnitude * base + static_cast<unsigned>(digit);
        if (magnitude > maximum) {
            return std::nullopt;
        }
    }
    if (digits == 0) {
        return std::nullopt;
    }
    pos = i;
    if (negative) {
        // Two's complement within the width (maximum is 2^n - 1).
        magnitude = (maximum - magnitude + 1) & maximum;
    }
    return magnitude;
}

}  // namespace

void ZIni::File(const std::string& path) {
    ZTraceScope trace;
    trace.Trace("ZIni::File( ", path, " )");
    m_strFile = path;
}

bool ZIni::GetKey(const std::string& section, std::string key, std::string& value,
                  const std::string& defaultValue, const ZIniRule& rule) {
    return ReadString(section, key, value, defaultValue, false, rule);
}

bool ZIni::GetSecretKey(const std::string& section, std::string key, std::string& value,
                        const std::string& defaultValue) {
    return ReadString(section, key, value, defaultValue, true, ZIniRule::Text());
}

bool ZIni::ReadString(const std::string& section, const std::string& key, std::string& value,
                      const std::string& defaultValue, bool secret, const ZIniRule& rule) {
    ZTraceScope trace;
    trace.Trace("ZIni::GetKey( ", section, ", ", key, " )");
    ZIniLookups::Note(section, key, rule);

    std::array<char, 1000> buffer{};
    const DWORD length =
        GetPrivateProfileStringA(section.c_str(), key.c_str(), defaultValue.c_str(), buffer.data(),
                                 static_cast<DWORD>(buffer.size()), m_strFile.c_str());
    value.assign(buffer.data(), length);
    if (secret) {
        trace.Trace("[ ", value.empty() ? "" : "(hidden)", " ]");
    } else {
        trace.Trace("[ ", value, " ]");
    }

    // The two characters backslash and n become a line feed; one pass from the left
    // gives the same result as rescanning after each replacement.
    std::string cleaned;
    cleaned.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size() && value[i + 1] == 'n') {
            cleaned.push_back('\n');
            ++i;
        } else {
            cleaned.push_back(value[i]);
        }
    }
    value = std::move(cleaned);
    return value != kEndOfList;
}

bool ZIni::GetNumber(const std::string& section, const std::string& key, std::uint32_t& value,
                     std::uint32_t defaultValue, const ZIniRule& rule) {
    ZTraceScope trace;
    trace.Trace("ZIni::GetKey( ", section, ", ", key, ", int )");
    const bool boolean = rule.GetKind() == ZIniRule::Kind::Boolean;
    value = defaultValue;
    std::string text;
    if (!ReadString(section, key, text, "", false, rule)) {
        trace.Trace("eof");
        return false;
    }
    if (!text.empty()) {
        std::size_t pos = 0;
        const auto number = ReadNumber(text, pos, 10, 0xFFFFFFFFULL);
        if (number && (!boolean || *number <= 1)) {
            value = static_cast<std::uint32_t>(*number);
        }
    }
    trace.Trace("[ ", value, " ]");
    return true;
}

bool ZIni::GetKey(const std::string& section, std::string key, unsigned int& value,
                  unsigned int defaultValue, const ZIniRule& rule) {
    std::uint32_t number = 0;
    const bool result = GetNumber(section, key, number, defaultValue, rule);
    value = number;
    return result;
}

bool ZIni::GetKey(const std::string& section, std::string key, unsigned long& value,
                  unsigned long defaultValue, const ZIniRule& rule) {
    std::uint32_t number = 0;
    const bool result =
        GetNumber(section, key, number, static_cast<std::uint32_t>(defaultValue), rule);
    value = number;
    return result;
}

bool ZIni::GetKey(const std::string& section, std::string key, bool& value, bool defaultValue) {
    std::uint32_t number = 0;
    const bool result = GetNumber(section, key, number, defaultValue ? 1 : 0, ZIniRule::Boolean());
    value = number != 0;
    return result;
}

namespace {

// Reads hexadecimal numbers from text until its end or the first token that is not one.
template <class Append>
void ReadHexList(std::string_view text, std::uint64_t maximum, Append append) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        const auto number = ReadNumber(text, pos, 16, maximum);
        if (!number) {
            return;
        }
        append(*number);
    }
}

}  // namespace

// Both list forms: trace, empty the output, read the text, append each number, trace.
template <class List, class Append, class Shown>
bool ZIni::ReadHex(const std::string& section, const std::string& key, List& value,
                   std::uint64_t maximum, const ZIniRule& rule, Append append, Shown shown) {
    ZTraceScope trace;
    trace.Trace("ZIni::GetHexKey( ", section, ", ", key, " )");
    value.clear();
    std::string text;
    if (!ReadString(section, key, text, "", false, rule)) {
        trace.Trace("eof");
        return false;
    }
    if (text.empty()) {
        return true;
    }
    ReadHexList(text, maximum, append);
    trace.Trace("[ ", shown(), " ]");
    return true;
}

bool ZIni::GetHexKey(const std::string& section, std::string key, std::string& value) {
    return ReadHex(
        section, key, value, 0xFFFF, ZIniRule::Bytes(),
        [&](std::uint64_t number) { value.push_back(static_cast<char>(number & 0xFF)); },
        [&] { return value; });
}

bool ZIni::GetHexKey(const std::string& section, std::string key, std::vector<std::uint32_t>& value,
                     const ZIniRule& rule) {
    return ReadHex(
        section, key, value, 0xFFFFFFFF, rule,
        [&](std::uint64_t number) { value.push_back(static_cast<std::uint32_t>(number)); },
        [&] { return value.size(); });
}

void ZIni::DeclareList(const std::string& section, const std::string& prefix,
                       const ZIniRule& rule) {
    ZIniLookups::NoteList(section, prefix, rule);
}
