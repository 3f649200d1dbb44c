#include "service/ZavdGroup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <filesystem>

#include "service/ErrorText.h"
#include "service/ZavdInstance.h"
#include "win32/CgroupJob.h"

namespace {

// How often a leftover group is looked at again while its processes end as it is looked
// at: each round finds fewer of them.
constexpr int kSettleRounds = 8;

bool WriteText(const std::string& path, const std::string& text) {
    const UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    return fd.Valid() &&
           ::write(fd.Get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

bool Populated(const std::string& path) {
    const UniqueFd fd(::open((path + "/cgroup.events").c_str(), O_RDONLY | O_CLOEXEC));
    char buffer[256] = {};
    const ssize_t n = fd.Valid() ? ::read(fd.Get(), buffer, sizeof buffer - 1) : -1;
    return n > 0 && std::string_view(buffer, static_cast<std::size_t>(n)).find("populated 1") !=
                        std::string_view::npos;
}

// The session that made a user's group "zav-PID-N" (CgroupJob), or 0.
pid_t SessionOf(const std::string& name) {
    if (name.rfind("zav-", 0) != 0) {
        return 0;
    }
    int pid = 0;
    const char* end = name.data() + name.size();
    const auto [after, error] = std::from_chars(name.data() + 4, end, pid);
    return error == std::errc() && after != end && *after == '-' && pid > 0 ? pid : 0;
}

}  // namespace

bool ZavdGroup::Enter(std::string& why) {
    m_parent = CgroupJob::Parent();
    m_path = m_parent;
    if (m_parent.empty()) {
        why = "no writable cgroup v2 hierarchy";
        return false;
    }
    const std::string path = m_parent + "/" + ZavdInstance::Own();
    if (::mkdir(path.c_str(), 0755) != 0) {
        why = "cannot create " + path + ": " + ErrorText(errno);
        return false;
    }
    if (!WriteText(path + "/cgroup.procs", "0")) {
        why = "cannot move into " + path + ": " + ErrorText(errno);
        ::rmdir(path.c_str());
        return false;
    }
    m_path = path;
    return true;
}

void ZavdGroup::Leave() {
    if (m_path != m_parent && WriteText(m_parent + "/cgroup.procs", "0")) {
        ::rmdir(m_path.c_str());
    }
}

void ZavdGroup::Sweep(std::vector<std::string>& log) {
    if (m_parent.empty()) {
        return;
    }
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(m_parent, error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(ZavdInstance::kPrefix, 0) != 0 || !entry.is_directory(error) ||
            ZavdInstance::Running(name)) {
            continue;
        }
        Leftover leftover{entry.path().string(), {}};
        if (Settle(leftover, log)) {
            m_leftovers.push_back(std::move(leftover));
        }
    }
}

std::vector<int> ZavdGroup::Watched() const {
    std::vector<int> fds;
    for (const Leftover& leftover : m_leftovers) {
        for (const UniqueFd& member : leftover.members) {
            fds.push_back(member.Get());
        }
    }
    return fds;
}

void ZavdGroup::Check(std::vector<std::string>& log) {
    for (auto it = m_leftovers.begin(); it != m_leftovers.end();) {
        it = Settle(*it, log) ? it + 1 : m_leftovers.erase(it);
    }
}

bool ZavdGroup::Settle(Leftover& leftover, std::vector<std::string>& log) {
    for (int round = 0; round < kSettleRounds; ++round) {
        const std::vector<pid_t> members = CgroupJob::Members(leftover.path);
        // A user's group whose session is no longer there: nothing else would end it.
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(leftover.path, error)) {
            const std::string name = entry.path().filename().string();
            const pid_t session = SessionOf(name);
            if (session <= 0 || !entry.is_directory(error) ||
                std::find(members.begin(), members.end(), session) != members.end()) {
                continue;
            }
            const bool populated = Populated(entry.path().string());
            if (CgroupJob::EndTree(entry.path().string(), kKillTime) && populated) {
                log.push_back("ended what session " + std::to_string(session) +
                              " of a zavd that is gone left running in " + entry.path().string());
            }
        }
        if (members.empty()) {
            // Nothing of its own runs: whatever is left is ended, and the group removed.
            const bool populated = Populated(leftover.path);
            if (CgroupJob::EndTree(leftover.path, kKillTime)) {
                log.push_back(std::string(populated ? "ended and removed " : "removed ") +
                              leftover.path + ", left by a zavd that is gone");
            } else {
                log.push_back("cannot remove " + leftover.path +
                              ", left by a zavd that is gone: " + ErrorText(errno));
            }
            return false;
        }
        // Its own processes (sessions ending on their own) are watched, those still in the
        // group once their pidfds are open: an id read before may name another by now.
        leftover.members.clear();
        std::vector<std::pair<pid_t, UniqueFd>> opened;
        for (const pid_t pid : members) {
            UniqueFd fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0U)));
            if (fd.Valid()) {
                opened.emplace_back(pid, std::move(fd));
            }
        }
        const std::vector<pid_t> still = CgroupJob::Members(leftover.path);
        for (auto& [pid, fd] : opened) {
            if (std::find(still.begin(), still.end(), pid) != still.end()) {
                leftover.members.push_back(std::move(fd));
            }
        }
        if (!leftover.members.empty()) {
            return true;
        }
    }
    return true;  // still changing after every round: looked at again on the next event
}
