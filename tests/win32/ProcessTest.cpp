// Process handles against real processes: our children, and processes that are not.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "base/UniqueFd.h"
#include "platform/ZWinsta.h"
#include "support/TestSupport.h"
#include "win32/DescriptorHandle.h"
#include "win32/UniqueHandle.h"
#include "win32/Win32.h"

namespace {

// A child that waits for a byte on a pipe, then exits with the code it was given.
class Child {
  public:
    explicit Child(int exitCode) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            return;
        }
        m_pid = ::fork();
        if (m_pid == 0) {
            char byte = 0;
            ::close(fds[1]);
            while (::read(fds[0], &byte, 1) < 0 && errno == EINTR) {
            }
            ::_exit(exitCode);
        }
        ::close(fds[0]);
        m_release = fds[1];
    }
    ~Child() {
        Release();
        if (m_pid > 0) {
            ::waitpid(m_pid, nullptr, WNOHANG);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t Pid() const { return m_pid; }
    void Release() {
        if (m_release >= 0) {
            ::close(m_release);
            m_release = -1;
        }
    }

  private:
    pid_t m_pid = -1;
    int m_release = -1;
};

DWORD ExitCode(HANDLE process) {
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(process, &code));
    return code;
}

TEST(Process, RunningChildIsStillActiveThenReportsItsExitCode) {
    for (int exitCode : {0, 3, 255}) {
        Child child(exitCode);
        HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, static_cast<DWORD>(child.Pid()));
        ASSERT_NE(process, nullptr);
        EXPECT_EQ(GetProcessId(process), static_cast<DWORD>(child.Pid()));
        EXPECT_EQ(ExitCode(process), STILL_ACTIVE);
        EXPECT_TRUE(ZWinsta::ProcessStillActive(process));
        EXPECT_EQ(WaitForSingleObject(process, 0), WAIT_TIMEOUT);

        child.Release();
        EXPECT_EQ(WaitForSingleObject(process, 10000), WAIT_OBJECT_0);
        EXPECT_EQ(ExitCode(process), static_cast<DWORD>(exitCode));
        EXPECT_FALSE(ZWinsta::ProcessStillActive(process));
        // The child has been reaped: no zombie is left behind.
        EXPECT_EQ(::waitpid(child.Pid(), nullptr, WNOHANG), -1);
        EXPECT_EQ(errno, ECHILD);
        EXPECT_EQ(ExitCode(process), static_cast<DWORD>(exitCode)) << "the code is kept";
        EXPECT_TRUE(CloseHandle(process));
    }
}

TEST(Process, TerminatedChildReportsTheRequestedCode) {
    Child child(0);
    HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, static_cast<DWORD>(child.Pid()));
    ASSERT_NE(process, nullptr);
    EXPECT_TRUE(TerminateProcess(process, 42));
    EXPECT_EQ(WaitForSingleObject(process, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(ExitCode(process), 42U);
    EXPECT_FALSE(TerminateProcess(process, 1)) << "an ended process cannot be terminated";
    CloseHandle(process);
}

TEST(Process, ChildKilledBySignalReportsShellStyleCode) {
    Child child(0);
    HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, static_cast<DWORD>(child.Pid()));
    ASSERT_NE(process, nullptr);
    test::Signal(child.Pid(), SIGTERM);
    EXPECT_EQ(WaitForSingleObject(process, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(ExitCode(process), 128U + SIGTERM);
    CloseHandle(process);
}

TEST(Process, OtherProcessesAreWatchedToo) {
    // Our parent is not our child and runs.
    HANDLE parent = OpenProcess(PROCESS_ALL_ACCESS, FALSE, static_cast<DWORD>(::getppid()));
    ASSERT_NE(parent, nullptr);
    EXPECT_TRUE(ZWinsta::ProcessStillActive(parent));
    CloseHandle(parent);

    // A grandchild: it exits with 7 while its parent (our child) holds off reaping it.
    int report[2];
    int reap[2];
    ASSERT_EQ(::pipe(report), 0);
    ASSERT_EQ(::pipe(reap), 0);
    const pid_t middle = ::fork();
    ASSERT_GE(middle, 0);
    if (middle == 0) {
        const pid_t grandchild = ::fork();
        if (grandchild == 0) {
            ::_exit(7);
        }
        [[maybe_unused]] ssize_t n = ::write(report[1], &grandchild, sizeof grandchild);
        char byte = 0;
        n = ::read(reap[0], &byte, 1);
        ::waitpid(grandchild, nullptr, 0);
        ::_exit(0);
    }
    pid_t grandchild = 0;
    ASSERT_EQ(::read(report[0], &grandchild, sizeof grandchild),
              static_cast<ssize_t>(sizeof grandchild));
    HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, static_cast<DWORD>(grandchild));
    ASSERT_NE(process, nullptr);
    EXPECT_EQ(WaitForSingleObject(process, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(ExitCode(process), 7U) << "read while it is a zombie";
    EXPECT_FALSE(ZWinsta::ProcessStillActive(process));
    ASSERT_EQ(::write(reap[1], "x", 1), 1);
    ::waitpid(middle, nullptr, 0);
    EXPECT_EQ(ExitCode(process), 7U);
    CloseHandle(process);
    for (int fd : {report[0], report[1], reap[0], reap[1]}) {
        ::close(fd);
    }
}

TEST(Process, MissingProcessAndBadHandlesFail) {
    EXPECT_EQ(OpenProcess(PROCESS_ALL_ACCESS, FALSE, 0), nullptr);
    EXPECT_EQ(OpenProcess(PROCESS_ALL_ACCESS, FALSE, 0x7FFFFFF0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ESRCH));
    DWORD code = 0;
    EXPECT_FALSE(GetExitCodeProcess(nullptr, &code));
    EXPECT_FALSE(ZWinsta::ProcessStillActive(nullptr));
    EXPECT_FALSE(TerminateProcess(reinterpret_cast<HANDLE>(0x1234), 0));
    EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(0x1234)));
}

// One wait for the first of several: a set event (reset by the wait), a socket with data,
// a socket with room to write; the index of the first signalled, or the time-out.
TEST(Process, WaitForMultipleObjectsReportsTheFirstSignalled) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    const UniqueFd a(pair[0]);
    const UniqueFd b(pair[1]);
    const UniqueHandle event(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    const UniqueHandle readable(DescriptorHandle(a.Get(), false));
    const UniqueHandle room(DescriptorHandle(a.Get(), true));
    ASSERT_TRUE(event.Valid() && readable.Valid() && room.Valid());
    const HANDLE quiet[] = {event.Get(), readable.Get()};
    EXPECT_EQ(WaitForMultipleObjects(2, quiet, FALSE, 20), WAIT_TIMEOUT);
    SetEvent(event.Get());
    EXPECT_EQ(WaitForMultipleObjects(2, quiet, FALSE, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(2, quiet, FALSE, 0), WAIT_TIMEOUT) << "the wait reset it";
    ASSERT_EQ(::write(b.Get(), "x", 1), 1);
    EXPECT_EQ(WaitForMultipleObjects(2, quiet, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
    const HANDLE writable[] = {event.Get(), room.Get()};
    EXPECT_EQ(WaitForMultipleObjects(2, writable, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForSingleObject(room.Get(), 0), WAIT_OBJECT_0) << "room, not data";
    const HANDLE bad[] = {event.Get(), reinterpret_cast<HANDLE>(0x1234)};
    EXPECT_EQ(WaitForMultipleObjects(2, bad, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForMultipleObjects(1, quiet, TRUE, 0), WAIT_FAILED) << "all at once: not here";
}

}  // namespace
