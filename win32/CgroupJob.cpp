#include "win32/CgroupJob.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>

namespace {

// Where the cgroup v2 hierarchy is mounted, from the mount table.
std::string MountPoint() {
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        const auto dash = line.find(" - ");
        if (dash == std::string::npos || line.compare(dash + 3, 8, "cgroup2 ") != 0) {
            continue;
        }
        std::istringstream fields(line);
        std::string id, parent, device, root, point;
        fields >> id >> parent >> device >> root >> point;
        return point;
    }
    return {};
}

// This process's group in that hierarchy ("0::/path" in /proc/self/cgroup).
std::string OwnGroup() {
    std::ifstream in("/proc/self/cgroup");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("0::", 0) == 0) {
            return line.substr(3);
        }
    }
    return {};
}

bool WriteText(const std::string& path, const std::string& text) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return ok;
}

// Removes the group at path after the groups below it; a group is removed only once it is
// empty, so this never ends a process.
bool RemoveTree(const std::string& path) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(path, error)) {
        if (entry.is_directory(error) && !entry.is_symlink(error)) {
            RemoveTree(entry.path().string());
        }
    }
    return ::rmdir(path.c_str()) == 0;
}

bool PopulatedIn(int eventsFd) {
    char buffer[256];
    const ssize_t n = ::pread(eventsFd, buffer, sizeof buffer - 1, 0);
    if (n <= 0) {
        return false;  // the group is gone
    }
    buffer[n] = '\0';
    return std::string(buffer).find("populated 1") != std::string::npos;
}

}  // namespace

namespace {
std::mutex g_birthMutex;
std::map<pid_t, std::weak_ptr<CgroupJob>> g_births;
}  // namespace

void CgroupJob::RememberBirth(pid_t pid, const std::shared_ptr<CgroupJob>& group) {
    std::lock_guard lock(g_birthMutex);
    g_births[pid] = group;
}

std::shared_ptr<CgroupJob> CgroupJob::BirthGroupOf(pid_t pid) {
    std::shared_ptr<CgroupJob> group;
    {
        std::lock_guard lock(g_birthMutex);
        auto it = g_births.find(pid);
        if (it == g_births.end()) {
            return nullptr;
        }
        group = it->second.lock();
    }
    if (!group) {
        return nullptr;
    }
    // The id may belong to another process by now: it counts only while that process
    // is in the group.
    std::ifstream in("/proc/" + std::to_string(pid) + "/cgroup");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("0::", 0) == 0) {
            const std::string& path = group->Path();
            const std::string own = line.substr(3);
            return path.size() >= own.size() &&
                           path.compare(path.size() - own.size(), own.size(), own) == 0
                       ? group
                       : nullptr;
        }
    }
    return nullptr;
}

const std::string& CgroupJob::Parent() {
    static const std::string parent = [] {
        const std::string mount = MountPoint();
        const std::string own = OwnGroup();
        if (mount.empty() || own.empty()) {
            return std::string();
        }
        std::string dir = mount + (own == "/" ? "" : own);
        return ::access(dir.c_str(), W_OK) == 0 ? dir : std::string();
    }();
    return parent;
}

std::shared_ptr<CgroupJob> CgroupJob::Create() {
    static std::atomic<unsigned> counter{0};
    if (Parent().empty()) {
        errno = ENOSYS;
        return nullptr;
    }
    const std::string path = Parent() + "/zav-" + std::to_string(::getpid()) + "-" +
                             std::to_string(counter.fetch_add(1));
    if (::mkdir(path.c_str(), 0755) != 0) {
        return nullptr;
    }
    auto job = std::make_shared<CgroupJob>(path);
    // Without cgroup.kill (kernels before 5.14) a group cannot be ended at once.
    if (::access((path + "/cgroup.kill").c_str(), W_OK) != 0) {
        errno = ENOTSUP;
        return nullptr;
    }
    return job;
}

CgroupJob::~CgroupJob() {
    if (!m_removed) {
        ::rmdir(m_path.c_str());
    }
}

UniqueFd CgroupJob::OpenProcs() const {
    return UniqueFd(::open((m_path + "/cgroup.procs").c_str(), O_WRONLY | O_CLOEXEC));
}

bool CgroupJob::Add(pid_t pid) const {
    return WriteText(m_path + "/cgroup.procs", std::to_string(pid));
}

bool CgroupJob::Populated() const {
    const int fd = ::open((m_path + "/cgroup.events").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool populated = PopulatedIn(fd);
    ::close(fd);
    return populated;
}

bool CgroupJob::Kill(int timeoutMs) {
    if (m_removed) {
        return true;
    }
    if (!EndTree(m_path, timeoutMs)) {
        return false;
    }
    m_removed = true;
    return true;
}

bool CgroupJob::EndTree(const std::string& path, int timeoutMs) {
    if (!WriteText(path + "/cgroup.kill", "1")) {
        return false;
    }
    const int events = ::open((path + "/cgroup.events").c_str(), O_RDONLY | O_CLOEXEC);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    // cgroup.events signals a change with POLLPRI; it is re-read from the start each time.
    while (events >= 0 && PopulatedIn(events)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            break;
        }
        pollfd p{events, POLLPRI, 0};
        ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 100)));
    }
    if (events >= 0) {
        ::close(events);
    }
    return RemoveTree(path);
}

std::vector<pid_t> CgroupJob::Members(const std::string& path) {
    std::vector<pid_t> members;
    std::ifstream in(path + "/cgroup.procs");
    for (pid_t pid = 0; in >> pid;) {
        members.push_back(pid);
    }
    return members;
}
