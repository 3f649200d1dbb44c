#include "win32/ProfileCache.h"

#include <fcntl.h>
#include <unistd.h>

#include <malloc.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <unordered_set>

#include "base/AsciiCase.h"
#include "base/UniqueFd.h"
#include "win32/ErrnoFailure.h"
#include "win32/ProfileParser.h"
#include "win32/Win32.h"

namespace {

bool EqualNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && AsciiLower(a) == AsciiLower(b);
}

// Feeds the whole file to the parser; false on a read error. A small buffer: the stack
// pages a read touches stay with the process (and both of a session's processes).
bool ReadAll(int fd, ProfileParser& parser) {
    std::array<char, 8192> buffer{};
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            FailWithErrno();
            return false;
        }
        if (n == 0) {
            parser.Finish();
            return true;
        }
        if (!parser.Feed(std::string_view(buffer.data(), static_cast<std::size_t>(n)))) {
            return true;
        }
    }
}

}  // namespace

ProfileCache& ProfileCache::Instance() {
    static ProfileCache cache;
    return cache;
}

void ProfileCache::Forget() {
    std::lock_guard lock(m_mutex);
    m_entries.clear();
    // The parsed files are thousands of small blocks freed together: their pages go
    // back only when trimmed.
    ::malloc_trim(0);
}

bool ProfileCache::Same(const Entry& entry, const struct stat& st) {
    return entry.dev == st.st_dev && entry.ino == st.st_ino && entry.size == st.st_size &&
           entry.mtime.tv_sec == st.st_mtim.tv_sec && entry.mtime.tv_nsec == st.st_mtim.tv_nsec &&
           entry.ctime.tv_sec == st.st_ctim.tv_sec && entry.ctime.tv_nsec == st.st_ctim.tv_nsec;
}

bool ProfileCache::Parse(int fd, Entry& entry) {
    std::unordered_set<std::string> seen;
    Keys* current = nullptr;
    ProfileParser parser(ProfileParser::Sink{
        [&](std::string_view name, bool overlong) {
            current = nullptr;
            if (overlong) {
                return true;
            }
            // Only the first section of a name counts; a later one is skipped whole.
            std::string lower = AsciiLower(name);
            if (seen.insert(lower).second) {
                current = &entry.sections[lower];
            }
            return true;
        },
        [&](std::string_view key, bool overlong, std::string_view value) {
            if (current != nullptr && !overlong) {
                current->try_emplace(AsciiLower(key), value);  // the first key of a name wins
            }
            return true;
        }});
    return ReadAll(fd, parser);
}

bool ProfileCache::Scan(int fd, std::string_view section, std::string_view key,
                        std::string& value) {
    enum { Before, Inside, After } where = Before;
    bool found = false;
    ProfileParser parser(
        ProfileParser::Sink{[&](std::string_view name, bool overlong) {
                                if (where == Inside) {
                                    where = After;  // the first matching section has ended
                                    return false;
                                }
                                if (!overlong && EqualNoCase(name, section)) {
                                    where = Inside;
                                }
                                return true;
                            },
                            [&](std::string_view name, bool overlong, std::string_view text) {
                                if (where == Inside && !overlong && EqualNoCase(name, key)) {
                                    value.assign(text);
                                    found = true;
                                    return false;
                                }
                                return true;
                            }});
    return ReadAll(fd, parser) && found;
}

bool ProfileCache::Lookup(const std::string& windowsPath, std::string_view section,
                          std::string_view key, std::string& value) {
    // Settings may name files the Windows way (.\keys.ini).
    std::string path = windowsPath;
    std::replace(path.begin(), path.end(), '\\', '/');

    // Non-blocking, so that a FIFO or device named by mistake cannot stall the reader.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd.Valid()) {
        FailWithErrno();
        return false;
    }
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0) {
        FailWithErrno();
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        SetLastError(EISDIR);
        return false;
    }
    // File times have a coarse tick: a file changed within the last seconds could change
    // again without its size or times changing, so it is read afresh until it has settled.
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const bool settled = now.tv_sec - st.st_mtim.tv_sec >= kSettleSeconds;
    if (static_cast<std::size_t>(st.st_size) > kMaxCachedSize || !settled) {
        return Scan(fd.Get(), section, key, value);
    }

    std::lock_guard lock(m_mutex);
    auto it = std::find_if(m_entries.begin(), m_entries.end(),
                           [&](const Entry& entry) { return entry.path == path; });
    if (it != m_entries.end() && !Same(*it, st)) {
        m_entries.erase(it);
        it = m_entries.end();
    }
    if (it == m_entries.end()) {
        Entry entry;
        entry.path = path;
        entry.dev = st.st_dev;
        entry.ino = st.st_ino;
        entry.size = st.st_size;
        entry.mtime = st.st_mtim;
        entry.ctime = st.st_ctim;
        if (!Parse(fd.Get(), entry)) {
            return false;
        }
        if (m_entries.size() >= kMaxCachedFiles) {
            m_entries.pop_back();
        }
        m_entries.push_front(std::move(entry));
        it = m_entries.begin();
    } else if (it != m_entries.begin()) {
        m_entries.splice(m_entries.begin(), m_entries, it);
        it = m_entries.begin();
    }
    const auto sectionIt = it->sections.find(AsciiLower(section));
    if (sectionIt == it->sections.end()) {
        return false;
    }
    const auto keyIt = sectionIt->second.find(AsciiLower(key));
    if (keyIt == sectionIt->second.end()) {
        return false;
    }
    value = keyIt->second;
    return true;
}
