#include "infra/ZSafePath.h"

#include <linux/openat2.h>
#include <pwd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

namespace {

constexpr int kDirectoryFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;

std::string SystemText(int code) {
    const char* text = ::strerrordesc_np(code);
    return text != nullptr ? text : "error " + std::to_string(code);
}

std::string Octal(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// The service account's uid, looked up once; empty when there is no such account.
std::optional<uid_t> ServiceUid() {
    static const std::optional<uid_t> uid = []() -> std::optional<uid_t> {
        passwd entry{};
        passwd* found = nullptr;
        std::array<char, 4096> buffer{};
        if (::getpwnam_r(ZSafePath::kServiceAccount, &entry, buffer.data(), buffer.size(),
                         &found) != 0 ||
            found == nullptr) {
            return std::nullopt;
        }
        return found->pw_uid;
    }();
    return uid;
}

// "uid N (name)", or "uid N" for a uid no account has.
std::string Account(uid_t uid) {
    passwd entry{};
    passwd* found = nullptr;
    std::array<char, 4096> buffer{};
    std::string text = "uid " + std::to_string(uid);
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
        text += std::string(" (") + found->pw_name + ")";
    }
    return text;
}

void Refuse(ZSafePath::Opened& out, std::string reason) {
    out.refused = true;
    out.reason = std::move(reason);
}

void Fail(ZSafePath::Opened& out, int error) {
    out.error = error;
    out.reason = SystemText(error);
}

// "it (uid N (name), mode 0600)": whose a file or directory is and its mode, for saying
// why this process may not use it.
std::string OwnerAndMode(const struct stat& st) {
    return Account(st.st_uid) + ", mode " + Octal(st.st_mode);
}

// A failed open of part (shown as shown) in dir (shown as dirShown): a link or something
// other than the kind asked for is refused, anything else is the system's error; a
// permission denied names what this account may not open and whose it is, so that a
// file that is there is not taken for a missing one.
void Classify(int dir, const std::string& dirShown, const std::string& part,
              const std::string& shown, int error, bool directory, ZSafePath::Opened& out) {
    struct stat st {};
    const bool seen = ::fstatat(dir, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (seen && S_ISLNK(st.st_mode)) {
        Refuse(out, shown + " is a symbolic link, and no link is followed");
        return;
    }
    if (seen && !directory && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        Refuse(out, shown + " is not a regular file");
        return;
    }
    Fail(out, error);
    if (error != EACCES) {
        return;
    }
    const std::string self = "this account, " + Account(::geteuid()) + ",";
    struct stat parent {};
    if (seen) {
        out.reason = "it exists, but " + self + " may not open it (" + OwnerAndMode(st) + ")";
    } else if (::fstat(dir, &parent) == 0) {
        // Not even its name can be looked up: the directory holding it is closed to us.
        out.reason = self + " may not look into " + dirShown + " (" + OwnerAndMode(parent) + ")";
    }
}

// Why a directory on the way to a file written is not safe, or empty. last: it is the
// file's own directory.
std::string DirectoryProblem(const struct stat& st, const std::string& shown, bool last) {
    if (!ZSafePath::Trusted(st.st_uid)) {
        return shown + " belongs to " + Account(st.st_uid) + ", not to " +
               ZSafePath::TrustedNames();
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) == 0) {
        return {};
    }
    const std::string who = (st.st_mode & S_IWOTH) != 0 ? "all" : "its group";
    if ((st.st_mode & S_ISVTX) == 0) {
        return shown + " can be written by " + who + " (mode " + Octal(st.st_mode) + ")";
    }
    // Sticky: others cannot move or remove what they do not own, but they can plant any
    // name that is not taken yet, so the file may not be directly in it.
    return last ? shown + ", the file's own directory, can be written by " + who + " (mode " +
                      Octal(st.st_mode) + "): others can plant the file there first"
                : std::string();
}

// The last part of name (the file), or empty when name ends in a directory.
std::string Leaf(const std::string& name) {
    const auto slash = name.rfind('/');
    std::string leaf = slash == std::string::npos ? name : name.substr(slash + 1);
    return leaf == "." || leaf == ".." ? std::string() : leaf;
}

// The file's own directory, reached from / or base one directory at a time without
// following a link; each directory judged when judge. Invalid with out filled in when
// the walk fails or a directory is refused. currentShown: the directory reached, as a
// message names it.
UniqueFd Walk(const std::string& name, int base, bool judge, ZSafePath::Opened& out,
              std::string& currentShown) {
    if (name.empty()) {
        Fail(out, ENOENT);
        return {};
    }
    if (Leaf(name).empty()) {
        Refuse(out, name + " names a directory, not a file");
        return {};
    }
    const bool absolute = name.front() == '/';
    UniqueFd current(absolute ? ::open("/", kDirectoryFlags)
                              : ::openat(base, ".", kDirectoryFlags));
    if (!current.Valid()) {
        Fail(out, errno);
        return {};
    }
    // The directories between the start and the file, each with the name up to its end.
    std::vector<std::pair<std::string, std::string>> directories;
    const std::size_t end = name.rfind('/');
    for (std::size_t pos = 0; end != std::string::npos && pos < end;) {
        const std::size_t next = std::min(name.find('/', pos), end);
        const std::string part = name.substr(pos, next - pos);
        if (!part.empty() && part != ".") {
            directories.emplace_back(part, name.substr(0, next));
        }
        pos = next + 1;
    }
    struct stat st {};
    const auto judged = [&](const std::string& shown, bool last) {
        if (::fstat(current.Get(), &st) != 0) {
            Fail(out, errno);
            return false;
        }
        if (judge) {
            std::string problem = DirectoryProblem(st, shown, last);
            if (!problem.empty()) {
                Refuse(out, std::move(problem));
                return false;
            }
        }
        return true;
    };
    currentShown = absolute ? "/" : "the working directory";
    if (!judged(currentShown, directories.empty())) {
        return {};
    }
    for (std::size_t i = 0; i < directories.size(); ++i) {
        const auto& [part, shown] = directories[i];
        UniqueFd next(::openat(current.Get(), part.c_str(), kDirectoryFlags | O_NOFOLLOW));
        if (!next.Valid()) {
            Classify(current.Get(), currentShown, part, shown, errno, true, out);
            return {};
        }
        current = std::move(next);
        currentShown = shown;
        if (!judged(shown, i + 1 == directories.size())) {
            return {};
        }
    }
    return current;
}

// Directories found safe to write files in: by the name they were reached by and their
// identity. A directory reached again by that name, without a link (openat2's
// RESOLVE_NO_SYMLINKS), with the same identity is the one judged: the directories above
// it only decided how it is reached. A name that leads elsewhere, or to a directory that
// was removed and whose inode number was given to a new one, or to one with another
// owner or mode, is walked and judged again.
struct KnownDirectory {
    std::string name;
    dev_t dev = 0;
    ino_t ino = 0;
    uid_t uid = 0;
    mode_t mode = 0;
    bool operator==(const KnownDirectory&) const = default;
};

class KnownDirectories {
  public:
    bool Contains(const KnownDirectory& directory) {
        std::lock_guard guard(m_lock);
        return std::find(m_known.begin(), m_known.end(), directory) != m_known.end();
    }
    void Add(KnownDirectory directory) {
        std::lock_guard guard(m_lock);
        if (std::find(m_known.begin(), m_known.end(), directory) == m_known.end()) {
            m_known[m_next] = std::move(directory);
            m_next = (m_next + 1) % m_known.size();
        }
    }

  private:
    std::mutex m_lock;
    std::array<KnownDirectory, 8> m_known{};  // a name-less entry matches nothing
    std::size_t m_next = 0;
};

KnownDirectories& Known() {
    static KnownDirectories known;
    return known;
}

KnownDirectory Identity(const std::string& name, const struct stat& st) {
    return KnownDirectory{name, st.st_dev, st.st_ino, st.st_uid, st.st_mode};
}

// The directory part of a file's name, as openat2 takes it.
std::string DirectoryName(const std::string& name) {
    const auto slash = name.rfind('/');
    return slash == std::string::npos ? "." : (slash == 0 ? "/" : name.substr(0, slash));
}

// False once openat2 turned out to be missing (an old kernel) or forbidden (a seccomp
// filter): every open then walks.
std::atomic<bool> g_openat2{true};

// The directory opened in one call without following a link; invalid when that fails
// for any reason (the walk then finds out why).
UniqueFd OpenDirectoryAtOnce(const std::string& directory) {
    if (!g_openat2.load(std::memory_order_relaxed)) {
        return {};
    }
    open_how how{};
    how.flags = kDirectoryFlags;
    how.resolve = RESOLVE_NO_SYMLINKS;
    const long fd = ::syscall(SYS_openat2, AT_FDCWD, directory.c_str(), &how, sizeof how);
    if (fd < 0 && (errno == ENOSYS || errno == EPERM || errno == E2BIG)) {
        g_openat2.store(false, std::memory_order_relaxed);
    }
    return UniqueFd(static_cast<int>(fd));
}

}  // namespace

bool ZSafePath::Trusted(uid_t uid) {
    if (uid == 0 || uid == ServiceUid()) {
        return true;
    }
    const uid_t self = ::geteuid();
    return self != 0 && uid == self;
}

std::string ZSafePath::TrustedNames() {
    const bool service = ServiceUid().has_value();
    const uid_t self = ::geteuid();
    if (self == 0 || self == ServiceUid()) {
        return service ? std::string("root or ") + kServiceAccount : "root";
    }
    return std::string("root, ") + (service ? std::string(kServiceAccount) + " " : "") + "or " +
           Account(self) + ", this process's account";
}

ZSafePath::Opened ZSafePath::OpenForAppend(const std::string& name) {
    Opened out;
    const std::string leaf = Leaf(name);
    const std::string directoryName = DirectoryName(name);
    UniqueFd directory;
    struct stat st {};
    if (!leaf.empty()) {
        directory = OpenDirectoryAtOnce(directoryName);
        if (directory.Valid() && (::fstat(directory.Get(), &st) != 0 ||
                                  !Known().Contains(Identity(directoryName, st)))) {
            directory.Reset();
        }
    }
    std::string directoryShown = directoryName;
    if (!directory.Valid()) {
        directory = Walk(name, AT_FDCWD, true, out, directoryShown);
        if (!directory.Valid()) {
            return out;
        }
        if (::fstat(directory.Get(), &st) == 0) {
            Known().Add(Identity(directoryName, st));
        }
    }
    UniqueFd fd(::openat(
        directory.Get(), leaf.c_str(),
        O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK, 0600));
    if (!fd.Valid()) {
        Classify(directory.Get(), directoryShown, leaf, name, errno, false, out);
        return out;
    }
    if (::fstat(fd.Get(), &st) != 0) {
        Fail(out, errno);
        return out;
    }
    if (!S_ISREG(st.st_mode)) {
        Refuse(out, name + " is not a regular file");
    } else if (!Trusted(st.st_uid)) {
        Refuse(out, name + " belongs to " + Account(st.st_uid) + ", not to " + TrustedNames());
    } else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        Refuse(out, name + " can be written by " +
                        ((st.st_mode & S_IWOTH) != 0 ? "all" : "its group") + " (mode " +
                        Octal(st.st_mode) + ")");
    } else {
        out.fd = std::move(fd);
    }
    return out;
}

ZSafePath::Opened ZSafePath::OpenForReading(const std::string& name, int base) {
    Opened out;
    std::string directoryShown;
    const UniqueFd directory = Walk(name, base, false, out, directoryShown);
    if (!directory.Valid()) {
        return out;
    }
    const std::string leaf = Leaf(name);
    UniqueFd fd(::openat(directory.Get(), leaf.c_str(),
                         O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK));
    if (!fd.Valid()) {
        Classify(directory.Get(), directoryShown, leaf, name, errno, false, out);
        return out;
    }
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0) {
        Fail(out, errno);
    } else if (!S_ISREG(st.st_mode)) {
        Refuse(out, name + " is not a regular file");
    } else {
        out.fd = std::move(fd);
    }
    return out;
}

std::string ZSafePath::PrivateFileProblem(const struct stat& st) {
    if (!Trusted(st.st_uid)) {
        return "belongs to " + Account(st.st_uid) + ", not to " + TrustedNames() +
               "; chown it to one of them";
    }
    if ((st.st_mode & 077) != 0) {
        return std::string("can be ") + ((st.st_mode & 044) != 0 ? "read" : "changed") +
               " by others than its owner (mode " + Octal(st.st_mode) + "); chmod 600 it";
    }
    return {};
}
