// The rules for the files others must not see or forge, on real directories in a private
// temporary directory (mkdtemp: 0700, inside the sticky /tmp). Cases that need a file or
// a directory of another account run as root and give it to nobody.
#include "infra/ZSafePath.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>

#include "support/TestSupport.h"

namespace {

// nobody's uid when this runs as root (a file can then be given to it); empty otherwise.
std::optional<uid_t> Stranger() {
    const passwd* nobody = ::getpwnam("nobody");
    if (::geteuid() != 0 || nobody == nullptr) {
        return std::nullopt;
    }
    return nobody->pw_uid;
}

class SafePath : public ::testing::Test {
  protected:
    // A directory of the given mode in the test's own.
    std::string Directory(const std::string& name, mode_t mode) {
        const std::string path = dir / name;
        EXPECT_EQ(::mkdir(path.c_str(), 0700), 0) << path;
        EXPECT_EQ(::chmod(path.c_str(), mode), 0) << path;
        return path;
    }
    static void Append(const std::string& name, const std::string& text) {
        const ZSafePath::Opened file = ZSafePath::OpenForAppend(name);
        ASSERT_TRUE(file.fd.Valid()) << name << ": " << file.reason;
        ASSERT_EQ(::write(file.fd.Get(), text.data(), text.size()),
                  static_cast<ssize_t>(text.size()));
    }
    // The reason name is refused for appending (empty when it is not).
    static std::string Refusal(const std::string& name) {
        const ZSafePath::Opened file = ZSafePath::OpenForAppend(name);
        EXPECT_FALSE(file.fd.Valid()) << name;
        EXPECT_TRUE(file.refused) << name << ": " << file.reason;
        return file.reason;
    }

    test::TempDir dir;
};

TEST_F(SafePath, AFileInPrivateDirectoriesIsCreatedPrivateAndAppended) {
    const std::string name = Directory("logs", 0755) + "/trace_1.trc";
    Append(name, "one\n");
    Append(name, "two\n");
    EXPECT_EQ(test::ReadFile(name), "one\ntwo\n");
    struct stat st {};
    ASSERT_EQ(::stat(name.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600U);
    EXPECT_EQ(st.st_uid, ::geteuid());
    // A sticky directory writable by all above the file's own directory, as /tmp above
    // the test's directory: the same file through a longer path.
    const std::string shared = Directory("shared", 01777);
    Append(Directory("shared/mine", 0700) + "/log", "x");
    EXPECT_EQ(test::ReadFile(shared + "/mine/log"), "x");
}

TEST_F(SafePath, DirectoriesOthersCanChangeAreRefused) {
    // Directly in a sticky directory others can plant the predictable name first.
    const std::string shared = Directory("shared", 01777);
    EXPECT_NE(Refusal(shared + "/trace_1.trc")
                  .find(shared + ", the file's own directory, can "
                                 "be written by all (mode 1777)"),
              std::string::npos);
    EXPECT_NE(Refusal(Directory("open", 0777) + "/log").find("open can be written by all"),
              std::string::npos);
    EXPECT_NE(Refusal(Directory("group", 0770) + "/log").find("group can be written by its group"),
              std::string::npos);
    // Higher up too, where it is not sticky.
    Directory("open/private", 0700);
    EXPECT_NE(Refusal(dir / "open/private/log").find("open can be written by all"),
              std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir / "open/private/log"));
}

TEST_F(SafePath, FilesAndDirectoriesOfOtherAccountsAreRefused) {
    const auto stranger = Stranger();
    if (!stranger) {
        GTEST_SKIP() << "needs root to give files to nobody";
    }
    // A file planted under the predictable name in a directory writable by all.
    const std::string shared = Directory("shared", 01777);
    const std::string planted = shared + "/trace_1.trc";
    test::WriteFile(planted, "");
    ASSERT_EQ(::chown(planted.c_str(), *stranger, *stranger), 0);
    Refusal(planted);
    // Even in a private directory, another account's file gets nothing.
    const std::string logs = Directory("logs", 0700);
    test::WriteFile(logs + "/log", "");
    ASSERT_EQ(::chown((logs + "/log").c_str(), *stranger, *stranger), 0);
    EXPECT_NE(Refusal(logs + "/log").find("belongs to uid " + std::to_string(*stranger)),
              std::string::npos);
    EXPECT_EQ(test::ReadFile(planted) + test::ReadFile(logs + "/log"), "");
    // A directory of another account on the way: it could swap what is under it.
    const std::string foreign = Directory("foreign", 0755);
    Directory("foreign/private", 0700);
    ASSERT_EQ(::chown(foreign.c_str(), *stranger, *stranger), 0);
    EXPECT_NE(Refusal(foreign + "/private/log").find(foreign + " belongs to uid"),
              std::string::npos);
}

TEST_F(SafePath, NoLinkIsFollowedAnywhere) {
    const std::string real = Directory("real", 0700);
    ASSERT_EQ(::symlink(real.c_str(), (dir / "link").c_str()), 0);
    EXPECT_NE(Refusal(dir / "link/log").find(dir / "link is a symbolic link"), std::string::npos);
    Directory("real/sub", 0700);
    EXPECT_NE(Refusal(dir / "link/sub/log").find("link is a symbolic link"), std::string::npos);
    ASSERT_EQ(::symlink((real + "/target").c_str(), (real + "/log").c_str()), 0);
    Refusal(real + "/log");
    EXPECT_FALSE(std::filesystem::exists(real + "/target")) << "nothing created through a link";
    EXPECT_FALSE(std::filesystem::exists(real + "/sub/log"));

    // Reading follows no link either, and never waits on a FIFO.
    test::WriteFile(real + "/settings", "[ZTerm]\n");
    EXPECT_TRUE(ZSafePath::OpenForReading(real + "/settings").fd.Valid());
    const ZSafePath::Opened viaLink = ZSafePath::OpenForReading(dir / "link/settings");
    EXPECT_TRUE(viaLink.refused);
    EXPECT_NE(viaLink.reason.find("is a symbolic link"), std::string::npos) << viaLink.reason;
    ASSERT_EQ(::mkfifo((real + "/fifo").c_str(), 0600), 0);
    EXPECT_TRUE(ZSafePath::OpenForReading(real + "/fifo").refused);
    const ZSafePath::Opened missing = ZSafePath::OpenForReading(real + "/missing");
    EXPECT_FALSE(missing.refused);
    EXPECT_EQ(missing.error, ENOENT);
}

// The directory found safe is remembered; what replaces or changes it is judged anew.
TEST_F(SafePath, AReplacedOrChangedDirectoryIsJudgedAgain) {
    const std::string logs = Directory("logs", 0700);
    const std::string name = logs + "/log";
    Append(name, "1");
    ASSERT_EQ(::rename(logs.c_str(), (dir / "old").c_str()), 0);
    Directory("logs", 0777);
    Refusal(name);
    ASSERT_EQ(::rmdir(logs.c_str()), 0);
    ASSERT_EQ(::symlink((dir / "old").c_str(), logs.c_str()), 0);
    Refusal(name);
    ASSERT_EQ(::unlink(logs.c_str()), 0);
    ASSERT_EQ(::rename((dir / "old").c_str(), logs.c_str()), 0);
    Append(name, "2");
    ASSERT_EQ(::chmod(logs.c_str(), 0777), 0);
    Refusal(name);
    ASSERT_EQ(::chmod(logs.c_str(), 0700), 0);
    Append(name, "3");
    EXPECT_EQ(test::ReadFile(name), "123");
    // The same directory, moved below one that all can write: known by its identity, but
    // reached another way.
    const std::string open = Directory("open", 0777);
    ASSERT_EQ(::rename(logs.c_str(), (open + "/logs").c_str()), 0);
    EXPECT_NE(Refusal(open + "/logs/log").find("open can be written by all"), std::string::npos);
}

TEST_F(SafePath, APrivateFileBelongsToATrustedAccountAndIsOnlyItsOwners) {
    struct stat st {};
    st.st_uid = ::geteuid();
    st.st_mode = S_IFREG | 0600;
    EXPECT_EQ(ZSafePath::PrivateFileProblem(st), "");
    st.st_mode = S_IFREG | 0400;
    EXPECT_EQ(ZSafePath::PrivateFileProblem(st), "");
    st.st_mode = S_IFREG | 0644;
    EXPECT_EQ(ZSafePath::PrivateFileProblem(st),
              "can be read by others than its owner (mode 0644); chmod 600 it");
    st.st_mode = S_IFREG | 0620;
    EXPECT_NE(ZSafePath::PrivateFileProblem(st).find("changed by others"), std::string::npos);
    st.st_mode = S_IFREG | 0600;
    st.st_uid = 0;
    EXPECT_EQ(ZSafePath::PrivateFileProblem(st), "");
    // An account that is neither root, zav nor this process's.
    const passwd* nobody = ::getpwnam("nobody");
    if (nobody != nullptr && nobody->pw_uid != ::geteuid()) {
        st.st_uid = nobody->pw_uid;
        EXPECT_NE(ZSafePath::PrivateFileProblem(st).find("belongs to uid " +
                                                         std::to_string(nobody->pw_uid)),
                  std::string::npos);
        EXPECT_FALSE(ZSafePath::Trusted(nobody->pw_uid));
    }
    EXPECT_TRUE(ZSafePath::Trusted(0));
    EXPECT_TRUE(ZSafePath::Trusted(::geteuid()));
}

}  // namespace
