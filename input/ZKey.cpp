#include "input/ZKey.h"

#include <algorithm>
#include <cstdint>

#include "base/Unicode.h"
#include "console/WinCon.h"
#include "infra/ZIni.h"
#include "infra/ZTraceScope.h"

void ZKey::Load(std::string path) {
    ZTraceScope trace;
    trace.Trace("ZKey::Load( ", path, " )");
    ZIni ini;
    ini.File(path);
    const std::string section = "ZKey";
    ini.DeclareList(section, "input", ZIniRule::Bytes());
    ini.DeclareList(section, "key", ZIniRule::Triples());
    for (int i = 0; i < kMaxEntries; ++i) {
        ZKeyEntry entry;
        const std::string index = std::to_string(i);
        if (!ini.GetHexKey(section, "input" + index, entry.input)) {
            break;
        }
        ini.GetHexKey(section, "key" + index, entry.key, ZIniRule::Triples());
        m_keys.push_back(std::move(entry));
    }
}

bool ZKey::Consume(std::string& input) {
    ZTraceScope trace;
    trace.Trace("ZKey::Consume( ", TracedInput{input}, " )");
    if (input.empty()) {
        return false;
    }
    if (m_indexed != m_keys.size()) {
        Index();
    }
    for (const std::uint32_t i : m_byFirst[static_cast<unsigned char>(input[0])]) {
        const ZKeyEntry& entry = m_keys[i];
        if (!input.starts_with(entry.input)) {
            continue;
        }
        SendKey(entry.key);
        m_last = entry.input;
        input.erase(0, entry.input.size());
        return true;
    }
    return false;
}

namespace {

// The length of the UTF-8 sequence a lead byte begins (0: not a lead byte) and the
// smallest code point of that length, so that overlong forms are refused.
int SequenceLength(unsigned char lead) {
    if (lead >= 0xC2 && lead <= 0xDF) {
        return 2;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        return 4;
    }
    return 0;
}

enum class Decoded { Character, Invalid, Incomplete };

// Decodes the UTF-8 character at the front of input (which is not empty).
Decoded Decode(std::string_view input, char32_t& c, std::size_t& length) {
    const auto lead = static_cast<unsigned char>(input[0]);
    if (lead < 0x80) {
        c = lead;
        length = 1;
        return Decoded::Character;
    }
    const int n = SequenceLength(lead);
    if (n == 0) {
        return Decoded::Invalid;
    }
    c = lead & (0x7F >> n);
    for (int i = 1; i < n; ++i) {
        if (static_cast<std::size_t>(i) >= input.size()) {
            return Decoded::Incomplete;
        }
        const auto next = static_cast<unsigned char>(input[static_cast<std::size_t>(i)]);
        if ((next & 0xC0) != 0x80) {
            return Decoded::Invalid;
        }
        c = (c << 6) | (next & 0x3F);
        // Overlong forms, surrogates and code points beyond U+10FFFF show in the
        // second byte already.
        if (i == 1 && ((n == 3 && c < 0x20) || (n == 3 && c >= 0x360 && c <= 0x37F) ||
                       (n == 4 && (c < 0x10 || c > 0x10F)))) {
            return Decoded::Invalid;
        }
    }
    length = static_cast<std::size_t>(n);
    return Decoded::Character;
}

}  // namespace

bool ZKey::ConsumeCharacter(std::string& input, bool& partial) {
    partial = false;
    if (input.empty()) {
        return false;
    }
    if (static_cast<unsigned char>(input[0]) < 0x80) {
        return false;  // plain ASCII is the table's alone
    }
    char32_t c = 0;
    std::size_t length = 0;
    switch (Decode(input, c, length)) {
        case Decoded::Invalid:
            return false;
        case Decoded::Incomplete:
            partial = true;
            return false;
        case Decoded::Character:
            break;
    }
    if (c < 0x10000) {
        SendKey({WM_CHAR, static_cast<std::uint32_t>(c), 1});
    } else {
        SendKey({WM_CHAR, static_cast<std::uint32_t>(unicode::HighSurrogate(c)), 1, WM_CHAR,
                 static_cast<std::uint32_t>(unicode::LowSurrogate(c)), 1});
    }
    input.erase(0, length);
    return true;
}

std::size_t ZKey::PartialCharacter(std::string_view input) {
    // A character is at most four bytes: only the last three can begin an unfinished one.
    for (std::size_t back = 1; back <= 3 && back <= input.size(); ++back) {
        const std::string_view tail = input.substr(input.size() - back);
        char32_t c = 0;
        std::size_t length = 0;
        if (SequenceLength(static_cast<unsigned char>(tail[0])) != 0) {
            return Decode(tail, c, length) == Decoded::Incomplete ? back : 0;
        }
    }
    return 0;
}

void ZKey::Index() {
    for (auto& entries : m_byFirst) {
        entries.clear();
    }
    for (std::size_t i = 0; i < m_keys.size(); ++i) {
        const std::string& input = m_keys[i].input;
        if (!input.empty()) {  // an empty input never matches
            m_byFirst[static_cast<unsigned char>(input[0])].push_back(
                static_cast<std::uint32_t>(i));
        }
    }
    m_indexed = m_keys.size();
}

std::size_t ZKey::LongestInput() const {
    std::size_t longest = 0;
    for (const ZKeyEntry& entry : m_keys) {
        longest = std::max(longest, entry.input.size());
    }
    return longest;
}

void ZKey::SendKey(const std::vector<std::uint32_t>& key) {
    ZTraceScope trace;
    trace.Trace("ZKey::SendKey( ", reinterpret_cast<std::uintptr_t>(m_hWnd), ", ", key.size(),
                " )");
    // The values of typed characters stay out of the trace while a password may be typed.
    const bool hidden = TracedInputHidden();
    for (std::size_t i = 0; i + 3 <= key.size(); i += 3) {
        if (!hidden) {
            trace.Trace(" m = ", key[i], " w = ", key[i + 1], " l = ", key[i + 2]);
        }
        PostMessageW(m_hWnd, key[i], key[i + 1], static_cast<LPARAM>(key[i + 2]));
    }
}
