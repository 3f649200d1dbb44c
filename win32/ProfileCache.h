// Looks values up in INI files. Small regular files are parsed once and kept while
// their identity, size and times stay the same, so a file read key by key (a key table
// of two thousand keys) is parsed once; a change to the file is seen by the next call.
// Larger files are scanned afresh for each call with bounded memory.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

class ProfileCache {
  public:
    static constexpr std::size_t kMaxCachedSize = 1 << 20;
    static constexpr std::size_t kMaxCachedFiles = 16;
    static constexpr long kSettleSeconds = 2;

    static ProfileCache& Instance();

    // The value of the first key named key in the first section named section (names
    // compared without regard to ASCII case). False when the file, section or key is absent.
    bool Lookup(const std::string& path, std::string_view section, std::string_view key,
                std::string& value);

    // Drops every parsed file and hands the freed memory back to the system. A session
    // reads its files once, at start: kept parsed, the key table alone would hold about
    // 300 KiB in each of its processes for as long as it runs.
    void Forget();

  private:
    using Keys = std::unordered_map<std::string, std::string>;
    struct Entry {
        std::string path;
        dev_t dev = 0;
        ino_t ino = 0;
        off_t size = 0;
        timespec mtime{};
        timespec ctime{};
        std::unordered_map<std::string, Keys> sections;
    };

    ProfileCache() = default;
    static bool Same(const Entry& entry, const struct stat& st);
    static bool Parse(int fd, Entry& entry);
    static bool Scan(int fd, std::string_view section, std::string_view key, std::string& value);

    std::mutex m_mutex;
    std::list<Entry> m_entries;  // most recently used first
};
