#include "service/ZavdPrivateDirectory.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "service/ErrorText.h"
#include "service/ZavdInstance.h"

namespace {

// The names in the directory open as fd ("." and ".." left out).
std::vector<std::string> Names(int fd) {
    std::vector<std::string> names;
    DIR* dir = ::fdopendir(::fcntl(fd, F_DUPFD_CLOEXEC, 0));  // owns the copy
    if (dir == nullptr) {
        return names;
    }
    ::rewinddir(dir);
    while (const dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            names.emplace_back(entry->d_name);
        }
    }
    ::closedir(dir);
    return names;
}

// Removes what the directory open as fd holds: only sockets and files are put there.
void Empty(int fd) {
    for (const std::string& name : Names(fd)) {
        ::unlinkat(fd, name.c_str(), 0);
    }
}

}  // namespace

ZavdPrivateDirectory::~ZavdPrivateDirectory() {
    if (m_lock.Valid()) {
        Empty(m_lock.Get());
        ::rmdir(m_path.c_str());
    }
}

std::string ZavdPrivateDirectory::Temporary() {
    const char* temporary = std::getenv("TMPDIR");  // NOLINT(concurrency-mt-unsafe)
    return temporary != nullptr && *temporary != '\0' ? temporary : "/tmp";
}

std::vector<std::string> ZavdPrivateDirectory::RemoveLeftovers(const std::string& temporary) {
    std::vector<std::string> removed;
    const UniqueFd parent(::open(temporary.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parent.Valid()) {
        return removed;
    }
    for (const std::string& name : Names(parent.Get())) {
        if (name.rfind(ZavdInstance::kPrefix, 0) != 0 || ZavdInstance::Running(name)) {
            continue;
        }
        const UniqueFd dir(
            ::openat(parent.Get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat info {};
        // Made by a zavd of this account (mkdtemp's mode), and no zavd holds it: the
        // lock settles what the name alone cannot (a zavd of another pid namespace).
        if (!dir.Valid() || ::fstat(dir.Get(), &info) != 0 || info.st_uid != ::geteuid() ||
            (info.st_mode & 077) != 0 || ::flock(dir.Get(), LOCK_EX | LOCK_NB) != 0) {
            continue;
        }
        Empty(dir.Get());
        if (::unlinkat(parent.Get(), name.c_str(), AT_REMOVEDIR) == 0) {
            removed.push_back(temporary + "/" + name);
        }
    }
    return removed;
}

bool ZavdPrivateDirectory::Create(const std::string& temporary, std::string& error) {
    std::string pattern = temporary + "/" + ZavdInstance::Own() + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {  // private: mode 0700
        error = "cannot create the pipe directory: " + ErrorText(errno);
        return false;
    }
    UniqueFd lock(::open(pattern.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!lock.Valid() || ::flock(lock.Get(), LOCK_EX | LOCK_NB) != 0) {
        error = "cannot lock the pipe directory " + pattern + ": " + ErrorText(errno);
        ::rmdir(pattern.c_str());
        return false;
    }
    m_path = pattern;
    m_lock = std::move(lock);
    return true;
}
