// A cgroup v2 group that holds one process tree: the job object of this platform.
// Processes started into it (and everything they start, setsid or not) stay in it, and
// Kill ends them all at once through cgroup.kill.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "base/UniqueFd.h"

class CgroupJob {
  public:
    // The group new groups are made under (this process's own), or empty when there is
    // no writable cgroup v2 hierarchy.
    static const std::string& Parent();
    // A new empty group; null (errno set) when none can be made or it cannot be killed.
    static std::shared_ptr<CgroupJob> Create();

    // The group a process was started into, while it is still in it (null otherwise).
    static void RememberBirth(pid_t pid, const std::shared_ptr<CgroupJob>& group);
    static std::shared_ptr<CgroupJob> BirthGroupOf(pid_t pid);

    explicit CgroupJob(std::string path) : m_path(std::move(path)) {}
    ~CgroupJob();
    CgroupJob(const CgroupJob&) = delete;
    CgroupJob& operator=(const CgroupJob&) = delete;

    const std::string& Path() const { return m_path; }
    // cgroup.procs opened for writing; a forked child writes "0" to it to join.
    UniqueFd OpenProcs() const;
    bool Add(pid_t pid) const;
    bool Populated() const;
    // Ends every process in the group, waits up to timeoutMs until it is empty and
    // removes it. False (errno set) when it could not be emptied.
    bool Kill(int timeoutMs);

    // Ends every process in the group at path and in the groups below it, waits up to
    // timeoutMs until they are gone and removes the groups, the deepest first. False
    // (errno set) when one could not be ended or removed.
    static bool EndTree(const std::string& path, int timeoutMs);
    // The processes in the group at path itself (not those in groups below it).
    static std::vector<pid_t> Members(const std::string& path);

  private:
    std::string m_path;
    bool m_removed = false;
};
