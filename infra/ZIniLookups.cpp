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

const ZIniLookups::Lookup* ZIniLookups::List(std::string_view section, std::string_view key) const {
    const std::string wantedSection = Lower(section);
    const std::string wanted = Lower(key);
    for (const Lookup& list : m_lists) {
        const std::string prefix = Lower(list.key);
        if (Lower(list.section) == wantedSection && wanted.size() > prefix.size() &&
            wanted.starts_with(prefix) &&
            wanted.find_first_not_of("0123456789", prefix.size()) == std::string::npos) {
            return &list;
        }
    }
    return nullptr;
}

const ZIniRule* ZIniLookups::Rule(std::string_view section, std::string_view key) const {
    const std::string wantedSection = Lower(section);
    const std::string wanted = Lower(key);
    for (const Lookup& lookup : m_lookups) {
        if (Lower(lookup.section) == wantedSection && Lower(lookup.key) == wanted) {
            return &lookup.rule;
        }
    }
    const Lookup* list = List(section, key);
    return list != nullptr ? &list->rule : nullptr;
}

bool ZIniLookups::Listed(std::string_view section, std::string_view key) const {
    return List(section, key) != nullptr;
}
