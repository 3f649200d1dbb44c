#include "win32/ProcessPriority.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "base/UniqueFd.h"
#include "win32/PrivilegeBroker.h"
#include "win32/ProcStat.h"

namespace {

// The nice value of the session's scheduling group. Where the kernel has no such groups
// the file is missing, and there is nothing to change. The group is every process of the
// session (setsid), so it is changed only when pid or this process leads it: a session
// started from a shell or a test program shares its group with them.
bool SetGroupNice(pid_t pid, int nice) {
    long parent = 0;
    long group = 0;
    long session = 0;
    if (!ReadProcStat(pid, parent, group, session)) {
        errno = ESRCH;
        return false;
    }
    if (session != pid && session != ::getpid()) {
        return true;
    }
    const UniqueFd fd(
        ::open(("/proc/" + std::to_string(pid) + "/autogroup").c_str(), O_WRONLY | O_CLOEXEC));
    if (!fd.Valid()) {
        return errno == ENOENT;  // the process is there (above): the kernel has no groups
    }
    const std::string text = std::to_string(nice);
    return ::write(fd.Get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

// The nice value of each thread named kYieldingThread; a thread that ended meanwhile is
// no failure.
bool SetThreadsNice(pid_t pid, int nice) {
    std::error_code error;
    std::filesystem::directory_iterator task("/proc/" + std::to_string(pid) + "/task", error);
    if (error) {
        errno = error.value();
        return false;
    }
    bool ok = true;
    int saved = 0;
    for (; !error && task != std::filesystem::directory_iterator(); task.increment(error)) {
        const std::string name = task->path().filename().string();
        char* end = nullptr;
        const long tid = std::strtol(name.c_str(), &end, 10);
        if (end == name.c_str() || *end != '\0' || tid <= 0) {
            continue;
        }
        std::ifstream comm(task->path() / "comm");
        std::string threadName;
        if (!std::getline(comm, threadName) || threadName != ProcessPriority::kYieldingThread) {
            continue;
        }
        if (::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice) != 0 && errno != ESRCH) {
            ok = false;
            saved = errno;
        }
    }
    errno = saved;
    return ok;
}

}  // namespace

bool ProcessPriority::Apply(pid_t pid, bool background, bool threads) {
    const int nice = background ? kBackgroundNice : 0;
    if (!SetGroupNice(pid, nice) || (threads && !SetThreadsNice(pid, nice))) {
        SetLastError(static_cast<DWORD>(errno));
        return false;
    }
    return true;
}

ProcessPriority::Outcome ProcessPriority::Background(bool on) {
    if (PrivilegeBroker::Current().Background(on)) {
        return Outcome::Done;
    }
    return GetLastError() == EAGAIN ? Outcome::TryLater : Outcome::Failed;
}
