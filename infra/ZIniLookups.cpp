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
    Stop();
}

void ZIniLookups::Stop() {
    if (m_noting) {
        g_current = m_previous;
        m_noting = false;
    }
}

void ZIniLookups::Note(std::string_view section, std::string_view key, const ZIniRule& rule) {
    if (g_current != nullptr) {
        g_current->m_lookups.push_back(Lookup{std::string(section), std::string(key), rule});
    }
}

void ZIniLookups::NoteList(std::string_view section, std::string_view prefix,
                           const ZIniRule& rule) {
    if (g_current != nullptr) {
        g_current->m_lists.push_back(Lookup{std::string(section), std::string(prefix), rule});
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

const ZIniLookups::Lookup* ZIniLookups::List(std::string_view section, std::string_view key) const {
    const std::string wantedSection = AsciiLower(section);
    const std::string wanted = AsciiLower(key);
    for (const Lookup& list : m_lists) {
        const std::string prefix = AsciiLower(list.key);
        if (AsciiLower(list.section) == wantedSection && wanted.size() > prefix.size() &&
            wanted.starts_with(prefix) &&
            wanted.find_first_not_of("0123456789", prefix.size()) == std::string::npos) {
            return &list;
        }
    }
    return nullptr;
}

const ZIniRule* ZIniLookups::Rule(std::string_view section, std::string_view key) const {
    const std::string wantedSection = AsciiLower(section);
    const std::string wanted = AsciiLower(key);
    for (const Lookup& lookup : m_lookups) {
        if (AsciiLower(lookup.section) == wantedSection && AsciiLower(lookup.key) == wanted) {
            return &lookup.rule;
        }
    }
    const Lookup* list = List(section, key);
    return list != nullptr ? &list->rule : nullptr;
}

bool ZIniLookups::Listed(std::string_view section, std::string_view key) const {
    return List(section, key) != nullptr;
}
