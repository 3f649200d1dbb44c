#include "input/ZKey.h"

#include <algorithm>
#include <cstdint>

#include "infra/ZIni.h"
#include "infra/ZTraceScope.h"

void ZKey::Load(std::string path) {
    ZTraceScope trace;
    trace.Trace("ZKey::Load( ", path, " )");
    ZIni ini;
    ini.File(path);
    const std::string section = "ZKey";
    for (int i = 0; i < kMaxEntries; ++i) {
        ZKeyEntry entry;
        const std::string index = std::to_string(i);
        if (!ini.GetHexKey(section, "input" + index, entry.input)) {
            break;
        }
        ini.GetHexKey(section, "key" + index, entry.key);
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
