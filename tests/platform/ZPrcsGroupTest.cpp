#include "platform/ZPrcsGroup.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "infra/ZTraceScope.h"
#include "support/ConsoleFixture.h"
#include "support/ConsoleSupport.h"
#include "support/TestSupport.h"
#include "win32/CgroupJob.h"

namespace {

// Ended: no such process, or only its zombie is left.
bool Gone(pid_t pid) {
    return test::WaitGone(pid, 2);
}

// Each test's family is started on a fresh console, and ended with it.
class ZPrcsGroupTest : public test::ConsoleFixture {};

// A shell started on the console the way the login starts it, with a background job, a
// process that left for a session of its own, and a grandchild in the shell's session.
// Returns the shell's process record and the three pids.
PROCESS_INFORMATION StartFamily(std::vector<pid_t>& family) {
    // nohup: the hang-up that the end of the terminal's session leader sends must not be
    // what ends them.
    std::string command =
        "/bin/sh -c 'nohup sleep 1000 >/dev/null 2>&1 & a=$!; setsid sleep 1001 & b=$!; "
        "echo family $a $b; "
        "sh -c \"nohup sleep 1002 >/dev/null 2>&1 & echo grandchild \\$!; wait\" & wait'";
    PROCESS_INFORMATION shell{};
    STARTUPINFOA startup{};
    if (CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, NORMAL_PRIORITY_CLASS,
                       nullptr, nullptr, &startup, &shell) == FALSE) {
        return shell;
    }
    std::string children;
    std::string grandchild;
    test::WaitFor([&] {
        for (int y = 0; y < test::Info().dwSize.Y; ++y) {
            const std::string row = test::Text(y);
            if (row.rfind("family ", 0) == 0) {
                children = row.substr(7);
            } else if (row.rfind("grandchild ", 0) == 0) {
                grandchild = row.substr(11);
            }
        }
        return !children.empty() && !grandchild.empty();
    });
    std::istringstream fields(children + " " + grandchild);
    pid_t pid = 0;
    while (fields >> pid) {
        family.push_back(pid);
    }
    return shell;
}

TEST_F(ZPrcsGroupTest, TheJobTakesTheWholeFamily) {
    if (CgroupJob::Parent().empty()) {
        GTEST_SKIP() << "no writable cgroup v2 hierarchy here";
    }
    std::vector<pid_t> family;
    const PROCESS_INFORMATION shell = StartFamily(family);
    ASSERT_NE(shell.hProcess, nullptr);
    ASSERT_EQ(family.size(), 3U);
    ZPrcsGroup group;
    EXPECT_TRUE(group.CreateJob(shell.dwProcessId));
    EXPECT_TRUE(group.m_hJob.Valid());
    EXPECT_FALSE(group.CreateJob(shell.dwProcessId)) << "parent already set";
    EXPECT_TRUE(group.Terminate());
    EXPECT_FALSE(group.m_hJob.Valid());
    EXPECT_EQ(group.m_dwParentId, 0U);
    EXPECT_TRUE(Gone(static_cast<pid_t>(shell.dwProcessId)));
    for (pid_t pid : family) {
        EXPECT_TRUE(Gone(pid)) << pid;
    }
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(shell.hProcess, &code));
    EXPECT_NE(code, STILL_ACTIVE);
}

TEST_F(ZPrcsGroupTest, WithoutAJobTheProcessListIsWalked) {
    std::vector<pid_t> family;
    const PROCESS_INFORMATION shell = StartFamily(family);
    ASSERT_NE(shell.hProcess, nullptr);
    ASSERT_EQ(family.size(), 3U);
    ZPrcsGroup group;
    // As on a platform without jobs: the shell is known, no job holds it.
    group.m_dwParentId = shell.dwProcessId;
    group.m_hParent.Reset(OpenProcess(PROCESS_ALL_ACCESS, FALSE, shell.dwProcessId));
    EXPECT_TRUE(group.Terminate());
    EXPECT_TRUE(Gone(static_cast<pid_t>(shell.dwProcessId)));
    // The direct children (the one in a session of its own included) and everything in
    // the shell's session.
    for (pid_t pid : family) {
        EXPECT_TRUE(Gone(pid)) << pid;
    }
}

TEST_F(ZPrcsGroupTest, RefusalsAndAGroupNeverSet) {
    ZPrcsGroup group;
    EXPECT_TRUE(group.Terminate()) << "nothing to end is no failure";

    // An id that cannot be opened: refused, but remembered for the walk.
    EXPECT_FALSE(group.CreateJob(0x7FFFFFF0));
    EXPECT_EQ(group.m_dwParentId, 0x7FFFFFF0U);
    EXPECT_TRUE(group.Terminate());
    EXPECT_EQ(group.m_dwParentId, 0U);
}

}  // namespace
