// The session's loading of the server's key: the file must be private to a trusted
// account and reached without a link, or no session serves with it. Made by zavd
// --genkey's own code in a private temporary directory.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "service/ZavdKeyFile.h"
#include "support/TestSupport.h"
#include "transport/SshServer.h"
#include "transport/ZSsh.h"

namespace {

class KeyFile : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_EQ(ZavdKeyFile::Create(key, ZSsh::kKeysetPassword, error),
                  ZavdKeyFile::Result::Created)
            << error;
    }
    int Load(const std::string& path) { return server.LoadKey(path, ZSsh::kKeysetPassword); }

    test::TempDir dir;
    const std::string key = dir / "zav_key";
    SshServer server;
};

TEST_F(KeyFile, GenkeyMakesItPrivateAndTheSessionLoadsIt) {
    struct stat st {};
    ASSERT_EQ(::stat(key.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600U);
    EXPECT_EQ(st.st_uid, ::geteuid());
    EXPECT_EQ(Load(key), SshServer::kOk) << server.KeyProblem();
    EXPECT_EQ(server.LoadKey(key, "another password"), SshServer::kErrorWrongKey);
}

TEST_F(KeyFile, AKeyOthersCanReadIsRefused) {
    ASSERT_EQ(::chmod(key.c_str(), 0644), 0);
    EXPECT_EQ(Load(key), SshServer::kErrorPermission);
    EXPECT_EQ(server.KeyProblem(),
              key + " can be read by others than its owner (mode 0644); chmod 600 it");
    ASSERT_EQ(::chmod(key.c_str(), 0640), 0);
    EXPECT_EQ(Load(key), SshServer::kErrorPermission);
}

TEST_F(KeyFile, AKeyOfAnotherAccountIsRefused) {
    const passwd* nobody = ::getpwnam("nobody");
    if (::geteuid() != 0 || nobody == nullptr) {
        GTEST_SKIP() << "needs root to give the key to nobody";
    }
    ASSERT_EQ(::chown(key.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    EXPECT_EQ(Load(key), SshServer::kErrorPermission);
    EXPECT_NE(server.KeyProblem().find(key + " belongs to uid " + std::to_string(nobody->pw_uid)),
              std::string::npos)
        << server.KeyProblem();
}

TEST_F(KeyFile, AKeyReachedThroughALinkIsRefused) {
    ASSERT_EQ(::symlink(key.c_str(), (dir / "link").c_str()), 0);
    EXPECT_EQ(Load(dir / "link"), SshServer::kErrorPermission);
    ASSERT_EQ(::mkdir((dir / "real").c_str(), 0700), 0);
    ASSERT_EQ(::rename(key.c_str(), (dir / "real/zav_key").c_str()), 0);
    ASSERT_EQ(::symlink((dir / "real").c_str(), (dir / "keys").c_str()), 0);
    EXPECT_EQ(Load(dir / "keys/zav_key"), SshServer::kErrorPermission);
    EXPECT_NE(server.KeyProblem().find("keys is a symbolic link"), std::string::npos)
        << server.KeyProblem();
    EXPECT_EQ(Load(dir / "real/zav_key"), SshServer::kOk) << server.KeyProblem();
    EXPECT_EQ(Load(dir / "missing"), SshServer::kErrorOpen);
}

}  // namespace
