// The grapheme clusters the console's cells hold: a character with the marks, joiners and
// selectors that follow it, as UTF-8, each kept once for the process and named by a
// number that stays valid as long as the process lives, so that pictures taken at
// different times compare clusters by number. The table is bounded: once full, a new
// cluster gets no number and its cell falls back to one character.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

class ClusterTable {
  public:
    static constexpr std::size_t kMaxClusters = 1U << 16;
    static constexpr std::size_t kMaxBytes = std::size_t{4} << 20;

    static ClusterTable& Shared();

    // The number of the cluster with these UTF-8 bytes; nullopt when the table is full.
    std::optional<std::uint32_t> Intern(std::string_view utf8);
    // The bytes of a numbered cluster; empty for a number never given.
    std::string Text(std::uint32_t number) const;

  private:
    mutable std::mutex m_mutex;
    std::deque<std::string> m_texts;
    std::unordered_map<std::string_view, std::uint32_t> m_numbers;  // views into m_texts
    std::size_t m_bytes = 0;
};
