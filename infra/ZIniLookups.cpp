#include "infra/ZIniLookups.h"

#include <algorithm>
#include <unordered_set>

namespace {

thread_local ZIniLookups* g_current = nullptr;

std::string Lower(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return lower;
}

}  // namespace

ZIniLookups::ZIniLookups() : m_previous(g_current) {
    g_current = this;
}

ZIniLookups::~ZIniLookups() {
    g_current = m_previous;
}

void ZIniLookups::Note(std::string_view section, std::string_view key) {
    if (g_current != nullptr) {
        g_current->m_lookups.push_back(Lookup{std::string(section), std::string(key)});
    }
}

std::vector<std::string> ZIniLookups::Keys(std::string_view section) const {
    const std::string wanted = Lower(section);
    std::vector<std::string> keys;
    std::unordered_set<std::string> seen;
    for (const Lookup& lookup : m_lookups) {
        if (Lower(lookup.section) == wanted && seen.insert(Lower(lookup.key)).second) {
            keys.push_back(lookup.key);
        }
    }
    return keys;
}
