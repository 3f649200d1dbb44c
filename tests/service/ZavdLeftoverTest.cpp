// What a killed zavd leaves, and what a starting zavd does with it: private directories
// and cgroups named after a zavd that is gone are removed, with the processes that
// nothing would end any more; those of a zavd that runs, and sessions still ending on
// their own, are left alone. Real directories, real cgroups, real processes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "base/UniqueFd.h"
#include "service/ZavdInstance.h"
#include "service/ZavdPrivateDirectory.h"
#include "support/TestSupport.h"
#include "support/Zavd.h"
#include "support/ZavdSettings.h"
#include "win32/CgroupJob.h"

namespace {

namespace fs = std::filesystem;

// The name a zavd that has ended had: a child that was started and reaped.
std::string GoneName() {
    const pid_t child = ::fork();
    if (child == 0) {
        ::pause();
        ::_exit(0);
    }
    unsigned long long start = 0;
    const bool read = ZavdInstance::StartTime(child, start);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    return read ? std::string(ZavdInstance::kPrefix) + std::to_string(child) + "-" +
                      std::to_string(start)
                : "zavd-unreadable";
}

bool Exists(const std::string& path) {
    std::error_code error;
    return fs::symlink_status(path, error).type() != fs::file_type::not_found;
}

TEST(ZavdInstanceName, TellsARunningZavdFromOneThatIsGone) {
    const std::string own = ZavdInstance::Own();
    EXPECT_TRUE(ZavdInstance::Running(own));
    EXPECT_TRUE(ZavdInstance::Running(own + "-Xy12Zq")) << "what follows the name is not read";
    const std::string gone = GoneName();
    EXPECT_FALSE(ZavdInstance::Running(gone));
    EXPECT_FALSE(ZavdInstance::Running(gone + "-Xy12Zq"));
    // Anything else counts as running, so that it is never taken for a leftover.
    for (const std::string name : {"zavd-AbC123", "zavd-123456", "zavd-12-x", "zavd--1-5",
                                   "zavd-0-5", "other-1-2", "zavd-99999999999-1"}) {
        EXPECT_TRUE(ZavdInstance::Running(name)) << name;
    }
}

TEST(ZavdPrivateDirectories, OnlyThoseOfAZavdThatIsGoneAreRemoved) {
    const test::TempDir temporary;
    const std::string gone = GoneName();
    auto make = [&](const std::string& name, mode_t mode) {
        const std::string path = temporary / name;
        EXPECT_EQ(::mkdir(path.c_str(), mode), 0) << path;
        ::chmod(path.c_str(), mode);
        return path;
    };
    const std::string left = make(gone + "-aaaaaa", 0700);
    test::WriteFile(left + "/ZAV_sr_zav127.0.0.150000", "");
    const std::string running = make(ZavdInstance::Own() + "-bbbbbb", 0700);
    const std::string locked = make(gone + "-cccccc", 0700);
    const std::string open = make(gone + "-dddddd", 0755);
    const std::string older = make("zavd-eeeeee", 0700);
    const std::string target = make("target", 0700);
    const std::string link = temporary / (gone + "-ffffff");
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    // A zavd this one cannot see (another pid namespace) holds its lock.
    const UniqueFd lock(::open(locked.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_EQ(::flock(lock.Get(), LOCK_EX | LOCK_NB), 0);

    const std::vector<std::string> removed =
        ZavdPrivateDirectory::RemoveLeftovers(temporary.Path().string());
    EXPECT_EQ(removed, std::vector<std::string>{left});
    EXPECT_FALSE(Exists(left));
    for (const std::string& kept : {running, locked, open, older, target, link}) {
        EXPECT_TRUE(Exists(kept)) << kept;
    }

    // A directory of its own: private, named after this process, locked while it is there.
    auto own = std::make_unique<ZavdPrivateDirectory>();
    std::string error;
    ASSERT_TRUE(own->Create(temporary.Path().string(), error)) << error;
    const std::string path = own->Path();
    EXPECT_EQ(fs::path(path).filename().string().rfind(ZavdInstance::Own() + "-", 0), 0U);
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700U);
    const UniqueFd other(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    EXPECT_NE(::flock(other.Get(), LOCK_EX | LOCK_NB), 0);
    test::WriteFile(path + "/ZAV_sw_zav127.0.0.150000", "");
    EXPECT_TRUE(ZavdPrivateDirectory::RemoveLeftovers(temporary.Path().string()).empty());
    EXPECT_TRUE(Exists(path)) << "a running zavd's directory stays";
    own.reset();
    EXPECT_FALSE(Exists(path)) << "removed when it ends in order";
}

// A process of the test's own in the group at path, as a user's program or a session.
class Member {
  public:
    explicit Member(const std::string& group) {
        m_pid = ::fork();
        if (m_pid == 0) {
            ::pause();
            ::_exit(0);
        }
        m_fd.Reset(static_cast<int>(::syscall(SYS_pidfd_open, m_pid, 0U)));
        test::WriteFile(group + "/cgroup.procs", std::to_string(m_pid));
        m_moved = test::ReadFile(group + "/cgroup.procs").find(std::to_string(m_pid)) !=
                  std::string::npos;
    }
    ~Member() {
        Kill();
        Reap();
    }
    Member(const Member&) = delete;
    Member& operator=(const Member&) = delete;

    pid_t Pid() const { return m_pid; }
    bool Moved() const { return m_moved; }
    // Whether it has ended, waiting up to milliseconds.
    bool Ended(int milliseconds) const {
        pollfd p{m_fd.Get(), POLLIN, 0};
        return ::poll(&p, 1, milliseconds) == 1;
    }
    void Kill() { ::syscall(SYS_pidfd_send_signal, m_fd.Get(), SIGKILL, nullptr, 0U); }
    // How it ended: the signal that killed it, or -1.
    int Reap() {
        int status = 0;
        if (m_pid <= 0 || ::waitpid(m_pid, &status, 0) != m_pid) {
            return -1;
        }
        m_pid = -1;
        return WIFSIGNALED(status) ? WTERMSIG(status) : -1;
    }

  private:
    pid_t m_pid = -1;
    UniqueFd m_fd;
    bool m_moved = false;
};

class LeftoverGroups : public ::testing::Test {
  protected:
    void SetUp() override {
        parent = CgroupJob::Parent();
        const std::string probe = parent + "/" + ZavdInstance::Own() + "-probe";
        const bool usable =
            !parent.empty() && ::mkdir(probe.c_str(), 0755) == 0 && Exists(probe + "/cgroup.kill");
        ::rmdir(probe.c_str());
        if (!usable) {
            GTEST_SKIP() << "no writable cgroup v2 hierarchy with cgroup.kill";
        }
        ASSERT_NO_FATAL_FAILURE(test::WriteZavdSettings(work, ""));
    }
    // Whatever a failed test left of its groups goes with it.
    void TearDown() override {
        members.clear();
        for (const std::string& group : groups) {
            if (Exists(group)) {
                CgroupJob::EndTree(group, 5000);
            }
        }
    }
    std::string Group(const std::string& path) {
        groups.push_back(path);
        EXPECT_EQ(::mkdir(path.c_str(), 0755), 0) << path;
        return path;
    }
    Member& Add(const std::string& group) {
        members.push_back(std::make_unique<Member>(group));
        EXPECT_TRUE(members.back()->Moved()) << group;
        return *members.back();
    }
    std::unique_ptr<test::Zavd> StartZavd() {
        auto zavd = std::make_unique<test::Zavd>(
            work.Path().string(), std::vector<std::string>{"--session", ZAV_SESSION_PROBE_PATH});
        EXPECT_GT(zavd->Port(), 0) << zavd->Output();
        return zavd;
    }

    std::string parent;
    test::TempDir work;
    std::vector<std::string> groups;
    std::vector<std::unique_ptr<Member>> members;
};

TEST_F(LeftoverGroups, WhatNothingWouldEndIsEndedWhenZavdStarts) {
    // A zavd that is gone, one of whose sessions was killed with it: its user's program
    // is left in the user's group.
    const std::string gone = Group(parent + "/" + GoneName());
    const std::string user = Group(gone + "/zav-" + GoneName().substr(5) + "-0");
    Member& program = Add(user);
    // A zavd that runs (this test, by its name), with a user's group whose session is
    // not in it: not this zavd's to judge.
    const std::string running = Group(parent + "/" + ZavdInstance::Own() + "-group");
    const std::string otherUser = Group(running + "/zav-1-0");
    Member& otherProgram = Add(otherUser);

    auto zavd = StartZavd();
    // Ended before zavd said it listens.
    ASSERT_TRUE(program.Ended(0));  // not reaped blindly: that would wait for ever
    EXPECT_EQ(program.Reap(), SIGKILL);
    EXPECT_FALSE(Exists(gone)) << zavd->Output();
    EXPECT_FALSE(otherProgram.Ended(0));
    EXPECT_TRUE(Exists(otherUser));
    // zavd's own group, below the one it was started in, holds it while it runs.
    const std::string own = ZavdInstance::kPrefix + std::to_string(zavd->Pid()) + "-";
    EXPECT_NE(test::ReadFile("/proc/" + std::to_string(zavd->Pid()) + "/cgroup").find("/" + own),
              std::string::npos);
    EXPECT_EQ(zavd->Stop(SIGTERM), 0);
    EXPECT_FALSE(otherProgram.Ended(0));
    // Without sessions left, zavd removes its own group as it ends.
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(parent, error)) {
        EXPECT_NE(entry.path().filename().string().rfind(own, 0), 0U) << entry.path();
    }
}

TEST_F(LeftoverGroups, ASessionThatOutlivesItsZavdEndsItsUsersProgramsItselfOrZavdDoes) {
    // A session of a zavd that is gone, still running (it ends on its own), and its
    // user's program.
    const std::string gone = Group(parent + "/" + GoneName());
    Member& session = Add(gone);
    const std::string user = Group(gone + "/zav-" + std::to_string(session.Pid()) + "-0");
    Member& program = Add(user);

    auto zavd = StartZavd();
    EXPECT_FALSE(program.Ended(0)) << "its session may still end it in order";
    EXPECT_TRUE(Exists(user));
    // The session is killed instead: what it left is ended, and the group removed.
    session.Kill();
    EXPECT_EQ(session.Reap(), SIGKILL);
    ASSERT_TRUE(program.Ended(20000)) << zavd->Output();
    EXPECT_EQ(program.Reap(), SIGKILL);
    // The group goes once nothing is left in it (the zavd that removes it may be another
    // one that started meanwhile: tests run side by side).
    bool removed = false;
    for (int i = 0; i < 1000 && !(removed = !Exists(gone)); ++i) {
        ::usleep(20000);
    }
    EXPECT_TRUE(removed) << zavd->Output();
    EXPECT_EQ(zavd->Stop(SIGTERM), 0);
}

}  // namespace
