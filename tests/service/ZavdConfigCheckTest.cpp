// zavd's check of the settings: what the sessions read is checked by the session program
// (brisel --check-config) and relayed; zavd adds its own check of the key-set file. Each
// problem is named by zavd --check-config and stops zavd before it listens; a session
// program that cannot check stops it too.
#include "service/ZavdConfigCheck.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "service/ZavdKeyFile.h"
#include "support/TestSupport.h"
#include "transport/ZSsh.h"

namespace {

const std::string kSettings =
    "[ZTerm]\n"
    "rsakey_file=zav_key\n"
    "key_init=keys.ini\n"
    "screen_width=80\n";
const std::string kKeys =
    "[ZKey]\n"
    "input0=0d\n"
    "key0=100 0d 1\n"
    "input1=eof\n";

std::string Zavd(const std::string& arguments) {
    return std::string(ZAVD_PATH) + " " + arguments + " 2>&1";
}

class ZavdCheck : public ::testing::Test {
  public:
    void Write(const std::string& name, const std::string& text) {
        test::WriteFile(work / name, text);
    }
    void Append(const std::string& name, const std::string& lines) {
        Write(name, test::ReadFile(work / name) + lines);
    }
    std::string Work(const std::string& name) const { return work / name; }

  protected:
    void SetUp() override {
        Write("zav.ini", kSettings);
        Write("keys.ini", kKeys);
        std::string error;
        ASSERT_EQ(ZavdKeyFile::Create(work / "zav_key", ZSsh::kKeysetPassword, error),
                  ZavdKeyFile::Result::Created)
            << error;
    }
    std::string Workdir() const { return "--workdir " + test::Quote(work.Path().string()); }

    // zavd --check-config says exactly lines and fails; zavd refuses to start with the
    // first of them, before it listens (were it to listen, the time-out ends it with
    // status 124, and its private directory stays in the test's own).
    void ExpectRefused(const std::string& lines, const std::string& session = BRISEL_PATH) {
        const std::string options = Workdir() + " --session " + test::Quote(session);
        const auto check = test::Run(Zavd("--check-config " + options));
        EXPECT_EQ(check.status, 1);
        EXPECT_EQ(check.output, lines);
        const auto start = test::Run("TMPDIR=" + test::Quote(work.Path().string()) +
                                     " timeout 20 " + Zavd("--listen 127.0.0.1:0 " + options));
        EXPECT_EQ(start.status, 1) << start.output;
        EXPECT_NE(start.output.find("zavd: " + lines.substr(0, lines.find('\n') + 1)),
                  std::string::npos)
            << start.output;
        EXPECT_NE(start.output.find("zavd: not started: "), std::string::npos) << start.output;
        EXPECT_EQ(start.output.find("listening"), std::string::npos) << start.output;
    }

    test::TempDir work;
};

TEST_F(ZavdCheck, TheSessionProgramsFindingsAreRelayed) {
    Append("zav.ini", "colour_depth=256\nidle_timeout=1h\n");
    const auto session = test::Run(std::string(BRISEL_PATH) + " --check-config " +
                                   test::Quote(work.Path().string()) + " 2>&1");
    EXPECT_EQ(session.status, 1);
    EXPECT_EQ(session.output,
              "zav.ini: [ZTerm] colour_depth: unknown\n"
              "zav.ini: [ZTerm] idle_timeout: '1h' is not a number; expected 0 to 4294967\n");
    ExpectRefused(session.output);
}

// One mistake about the key-set file, and the line that names it.
struct BrokenKey {
    const char* name;
    std::function<void(ZavdCheck&)> change;
    const char* line;
};

void PrintTo(const BrokenKey& broken, std::ostream* out) {
    *out << broken.name;
}

class BrokenKeys : public ZavdCheck, public ::testing::WithParamInterface<BrokenKey> {};

const std::vector<BrokenKey> kBrokenKeys = {
    {"NotSet", [](ZavdCheck& c) { c.Write("zav.ini", "[ZTerm]\nkey_init=keys.ini\n"); },
     "zav.ini: [ZTerm] rsakey_file: not set; name the key-set file, and zavd --genkey creates "
     "it"},
    {"Missing", [](ZavdCheck& c) { std::filesystem::remove(c.Work("zav_key")); },
     "zav.ini: [ZTerm] rsakey_file: cannot read zav_key: No such file or directory; zavd "
     "--genkey creates it"},
    {"NotAKeySetFile", [](ZavdCheck& c) { c.Write("zav_key", "not a key\n"); },
     "zav.ini: [ZTerm] rsakey_file: zav_key is no key-set file of this server; move it away "
     "and run zavd --genkey"},
    {"ReadableByOthers", [](ZavdCheck& c) { ::chmod(c.Work("zav_key").c_str(), 0644); },
     "zav.ini: [ZTerm] rsakey_file: zav_key can be read by others than its owner (mode 0644); "
     "chmod 600 it"},
    {"ALink",
     [](ZavdCheck& c) {
         std::filesystem::rename(c.Work("zav_key"), c.Work("real_key"));
         std::filesystem::create_symlink("real_key", c.Work("zav_key"));
     },
     "zav.ini: [ZTerm] rsakey_file: zav_key is a symbolic link, and no link is followed"},
};

TEST_P(BrokenKeys, AreNamedAndStopZavd) {
    GetParam().change(*this);
    ExpectRefused(std::string(GetParam().line) + "\n");
}

INSTANTIATE_TEST_SUITE_P(Table, BrokenKeys, ::testing::ValuesIn(kBrokenKeys),
                         [](const ::testing::TestParamInfo<BrokenKey>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(ZavdCheck, SettingsThatCannotBeReadAreNamedOnceByTheSession) {
    std::filesystem::remove(Work("zav.ini"));
    ExpectRefused("zav.ini: cannot read " + Work("zav.ini") + ": No such file or directory\n");
    Write("zav.ini", "[Other]\nrsakey_file=zav_key\n");
    ExpectRefused(
        "zav.ini: [Other]: unknown section, ignored\n"
        "zav.ini: no [ZTerm] section; the sessions do not start without it\n");
}

TEST_F(ZavdCheck, ASessionProgramThatCannotCheckStopsZavd) {
    ExpectRefused(
        "cannot check the settings: /nonexistent/brisel --check-config: No such file or "
        "directory\n",
        "/nonexistent/brisel");
    // A program that fails without naming a problem (not a session program).
    ExpectRefused("cannot check the settings: /bin/false --check-config: failed with exit code 1\n",
                  "/bin/false");
}

TEST_F(ZavdCheck, TheShippedSettingsPassWithAGeneratedKey) {
    for (const char* name : {"zav.ini", "zav_keys.ini", "zav_telnet.ini"}) {
        Write(name, test::ReadFile(std::string(ZAV_CONFIG_DIR) + "/" + name));
    }
    std::filesystem::remove(work / "zav_key");
    // --genkey leaves the missing key-set file to be made, and makes it.
    const auto genkey = test::Run(Zavd("--genkey " + Workdir()));
    EXPECT_EQ(genkey.status, 0) << genkey.output;
    const auto check = test::Run(Zavd("--check-config " + Workdir()));
    EXPECT_EQ(check.status, 0);
    EXPECT_EQ(check.output, "");
}

TEST_F(ZavdCheck, GenkeyRefusesOtherwiseBrokenSettings) {
    std::filesystem::remove(work / "zav_key");
    Append("zav.ini", "colour_depth=256\n");
    const auto genkey = test::Run(Zavd("--genkey " + Workdir()));
    EXPECT_EQ(genkey.status, 1);
    EXPECT_NE(genkey.output.find("zavd: zav.ini: [ZTerm] colour_depth: unknown\n"),
              std::string::npos)
        << genkey.output;
    EXPECT_EQ(genkey.output.find("rsakey_file"), std::string::npos) << genkey.output;
    EXPECT_FALSE(std::filesystem::exists(work / "zav_key"));
}

// With the key there, --genkey has nothing to make: it shows the key and leaves the
// settings' problems to the start, which names them (scripts/start.sh runs both).
TEST_F(ZavdCheck, GenkeyLeavesAnExistingKeyAndTheSettingsToTheStart) {
    Append("zav.ini", "colour_depth=256\n");
    const auto genkey = test::Run(Zavd("--genkey " + Workdir()));
    EXPECT_EQ(genkey.status, 0) << genkey.output;
    EXPECT_NE(genkey.output.find("zavd: the key-set file " + Work("zav_key") +
                                 " exists; left as it is\n"),
              std::string::npos)
        << genkey.output;
    EXPECT_NE(genkey.output.find("\n  ED25519 key fingerprint is SHA256:"), std::string::npos)
        << genkey.output;
    EXPECT_EQ(genkey.output.find("no key-set file made"), std::string::npos) << genkey.output;
    ExpectRefused("zav.ini: [ZTerm] colour_depth: unknown\n");
}

TEST_F(ZavdCheck, AKeySetFileOfAnotherAccountIsNamed) {
    const passwd* nobody = ::getpwnam("nobody");
    if (::geteuid() != 0 || nobody == nullptr) {
        GTEST_SKIP() << "needs root to give the key to nobody";
    }
    ASSERT_EQ(::chown(Work("zav_key").c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    const auto check = test::Run(Zavd("--check-config " + Workdir()));
    EXPECT_EQ(check.status, 1);
    EXPECT_EQ(check.output, "zav.ini: [ZTerm] rsakey_file: zav_key belongs to uid " +
                                std::to_string(nobody->pw_uid) +
                                " (nobody), not to root or zav; chown it to one of them\n");
}

// Run as an ordinary account (nobody), the check tells a file that is there but root's
// from a missing one: only a missing key-set file is --genkey's to make.
TEST_F(ZavdCheck, FilesThisAccountMayNotReadAreNamedAsSuch) {
    const passwd* nobody = ::getpwnam("nobody");
    if (::geteuid() != 0 || nobody == nullptr) {
        GTEST_SKIP() << "needs root to check as nobody";
    }
    // nobody reaches the work directory and its settings; the key stays root's, 0600.
    ASSERT_EQ(::chmod(work.Path().c_str(), 0755), 0);
    for (const char* name : {"zav.ini", "keys.ini"}) {
        ASSERT_EQ(::chmod(Work(name).c_str(), 0644), 0);
    }
    const std::string asNobody = "setpriv --reuid=" + std::to_string(nobody->pw_uid) +
                                 " --regid=" + std::to_string(nobody->pw_gid) + " --clear-groups ";
    const std::string self = "this account, uid " + std::to_string(nobody->pw_uid) + " (nobody),";
    const std::string advice = "; run the check as root, as the service runs\n";
    const auto check = [&] { return test::Run(asNobody + Zavd("--check-config " + Workdir())); };

    auto said = check();
    EXPECT_EQ(said.status, 1);
    EXPECT_EQ(said.output, "zav.ini: [ZTerm] rsakey_file: cannot read zav_key: it exists, but " +
                               self + " may not open it (uid 0 (root), mode 0600)" + advice);

    // In a directory closed to others, as the installed /var/lib/zav is.
    ASSERT_EQ(::mkdir(Work("state").c_str(), 0700), 0);
    std::filesystem::rename(Work("zav_key"), Work("state/zav_key"));
    Write("zav.ini", "[ZTerm]\nrsakey_file=state/zav_key\nkey_init=keys.ini\n");
    ASSERT_EQ(::chmod(Work("zav.ini").c_str(), 0644), 0);
    said = check();
    EXPECT_EQ(said.output, "zav.ini: [ZTerm] rsakey_file: cannot read state/zav_key: " + self +
                               " may not look into state (uid 0 (root), mode 0700)" + advice);

    // The settings themselves, through the session program's check.
    ASSERT_EQ(::chmod(Work("zav.ini").c_str(), 0600), 0);
    said = check();
    EXPECT_EQ(said.output, "zav.ini: cannot read " + Work("zav.ini") + ": it exists, but " + self +
                               " may not open it (uid 0 (root), mode 0600)" + advice);
    EXPECT_EQ(said.output.find("genkey"), std::string::npos);
}

// zavd runs no session: none of the console engine, PAM or the monitor is in it. The
// session program, which has them, shows that ldd would tell.
TEST(ZavdBinary, LoadsNoSessionLibrary) {
    const auto zavd = test::Run(std::string("ldd ") + ZAVD_PATH);
    ASSERT_EQ(zavd.status, 0);
    EXPECT_NE(zavd.output.find("libssh"), std::string::npos) << zavd.output;
    const auto brisel = test::Run(std::string("ldd ") + BRISEL_PATH);
    ASSERT_EQ(brisel.status, 0);
    for (const char* library : {"libvterm", "libpam", "libunistring"}) {
        EXPECT_EQ(zavd.output.find(library), std::string::npos) << library << "\n" << zavd.output;
        EXPECT_NE(brisel.output.find(library), std::string::npos) << library;
    }
}

}  // namespace
