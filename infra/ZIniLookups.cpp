#include "infra/ZIniLookups.h"

#include <algorithm>
#include <unordered_set>

#include "base/AsciiCase.h"

namespace {

thread_local ZIniLookups* g_current = nullptr;

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
    const std::string wanted = AsciiLower(section);
    std::vector<std::string> keys;
    std::unordered_set<std::string> seen;
    for (const Lookup& lookup : m_lookups) {
        if (AsciiLower(lookup.section) == wanted && seen.insert(AsciiLower(lookup.key)).second) {
            keys.push_back(lookup.key);
        }
    }
    return keys;
}
