#include "base/ClusterTable.h"

ClusterTable& ClusterTable::Shared() {
    static ClusterTable table;
    return table;
}

std::optional<std::uint32_t> ClusterTable::Intern(std::string_view utf8) {
    const std::lock_guard lock(m_mutex);
    if (const auto found = m_numbers.find(utf8); found != m_numbers.end()) {
        return found->second;
    }
    if (m_texts.size() >= kMaxClusters || m_bytes + utf8.size() > kMaxBytes) {
        return std::nullopt;
    }
    const auto number = static_cast<std::uint32_t>(m_texts.size());
    // A deque keeps its elements in place as it grows: the map's views stay valid.
    const std::string& kept = m_texts.emplace_back(utf8);
    m_numbers.emplace(kept, number);
    m_bytes += kept.size();
    return number;
}

std::string ClusterTable::Text(std::uint32_t number) const {
    const std::lock_guard lock(m_mutex);
    return number < m_texts.size() ? m_texts[number] : std::string();
}
