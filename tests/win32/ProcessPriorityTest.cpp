// The background priority against real processes: a child in a session (and so a
// scheduling group) of its own, so that nothing else on the machine is moved.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "support/TestSupport.h"
#include "win32/ProcessPriority.h"

namespace {

// The group's nice value as /proc shows it, or -100 where the kernel has no such groups.
int GroupNice(pid_t pid) {
    const std::string group = test::ReadFile("/proc/" + std::to_string(pid) + "/autogroup");
    const auto at = group.find(" nice ");
    return at == std::string::npos ? -100 : std::atoi(group.c_str() + at + 6);
}

// The nice value of pid's thread named name, or -100.
int ThreadNice(pid_t pid, const std::string& name) {
    std::error_code error;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        if (test::ReadFile((task.path() / "comm").string()) == name + "\n") {
            errno = 0;
            const int nice = ::getpriority(
                PRIO_PROCESS, static_cast<id_t>(std::atoi(task.path().filename().c_str())));
            return errno == 0 ? nice : -100;
        }
    }
    return -100;
}

}  // namespace

TEST(ProcessPriority, MovesAProcessIntoTheBackgroundAndBack) {
    int release[2];
    int ready[2];
    ASSERT_EQ(::pipe2(release, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // In a session of its own: a thread that yields, named so once it says it is
        // ready, and one that keeps its priority.
        if (::setsid() < 0) {
            ::_exit(1);
        }
        ::close(release[1]);
        ::close(ready[0]);
        ::prctl(PR_SET_NAME, "other");
        std::thread pump([&] {
            ::prctl(PR_SET_NAME, ProcessPriority::kYieldingThread);
            char byte = 0;
            if (::write(ready[1], "s", 1) != 1) {
                ::_exit(1);
            }
            while (::read(release[0], &byte, 1) < 0 && errno == EINTR) {
            }
        });
        pump.join();
        ::_exit(0);
    }
    ::close(release[0]);
    ::close(ready[1]);
    // Once the child says so, it leads a session (and a group) of its own.
    char said = 0;
    ASSERT_EQ(::read(ready[0], &said, 1), 1);
    ::close(ready[0]);
    const int ownGroup = GroupNice(::getpid());
    const bool root = ::geteuid() == 0;

    const bool moved = ProcessPriority::Apply(child, true, root);
    if (!moved && !root && GetLastError() == static_cast<DWORD>(EAGAIN)) {
        ::close(release[1]);
        ::waitpid(child, nullptr, 0);
        GTEST_SKIP() << "another process changed a group's priority just now";
    }
    ASSERT_TRUE(moved) << GetLastError();
    if (ownGroup != -100) {
        EXPECT_EQ(GroupNice(child), ProcessPriority::kBackgroundNice);
    }
    EXPECT_EQ(ThreadNice(child, ProcessPriority::kYieldingThread),
              root ? ProcessPriority::kBackgroundNice : 0)
        << "without root a thread is left as it is: it could not be raised again";
    EXPECT_EQ(ThreadNice(child, "other"), 0) << "only the yielding thread moves";
    // Without root the system allows one such change in a tenth of a second.
    if (ProcessPriority::Apply(child, false, root)) {
        EXPECT_EQ(ThreadNice(child, ProcessPriority::kYieldingThread), 0);
        if (ownGroup != -100) {
            EXPECT_EQ(GroupNice(child), 0);
        }
    } else {
        EXPECT_FALSE(root);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(EAGAIN));
    }
    EXPECT_EQ(GroupNice(::getpid()), ownGroup) << "this process's group is not moved";
    if (::getsid(0) != ::getpid()) {
        // Nor is it for a process that shares it without leading it.
        EXPECT_TRUE(ProcessPriority::Apply(::getpid(), true, false));
        EXPECT_EQ(GroupNice(::getpid()), ownGroup) << "a group of others' is left alone";
        if (GroupNice(::getpid()) != ownGroup) {
            test::WriteFile("/proc/self/autogroup", std::to_string(ownGroup));
        }
    }

    ::close(release[1]);
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    // A process that is gone is no success.
    EXPECT_FALSE(ProcessPriority::Apply(child, true, false));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ESRCH));
}
