// The session's check of its settings: each kind of mistake is named on a line of its
// own, by the check itself and by brisel --check-config; usable and shipped settings
// pass. (zavd runs brisel's check and adds its own of the key-set file: tests/service.)
#include "session/ZConfigCheck.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace {

// Settings a session can serve with: a small key table, a terminal file, a key-set file.
const std::string kSettings =
    "[ZTerm]\n"
    "rsakey_file=zav_key\n"
    "key_init=keys.ini\n"
    "telnet_init=telnet.ini\n"
    "screen_width=80\n"
    "screen_height=24\n"
    "buff_height=300\n";
const std::string kKeys =
    "[ZKey]\n"
    "input0=1b 5b 41\n"
    "key0=100 26 1\n"
    "input1=0d\n"
    "key1=100 0d 1\n"
    "input2=eof\n";
const std::string kTelnet =
    "[ZTelnet]\n"
    "foreground_white=\x1b[37m\n"
    "export_code_page=65001\n"
    "client0=eof\n";

std::string Brisel(const std::string& arguments) {
    return std::string(BRISEL_PATH) + " " + arguments + " 2>&1";
}

class ConfigCheck : public ::testing::Test {
  public:
    void Write(const std::string& name, const std::string& text) {
        test::WriteFile(work / name, text);
    }
    // Replaces the first from in the file with to.
    void Edit(const std::string& name, const std::string& from, const std::string& to) {
        std::string text = test::ReadFile(work / name);
        const auto at = text.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        Write(name, text.replace(at, from.size(), to));
    }
    void Append(const std::string& name, const std::string& lines) {
        Write(name, test::ReadFile(work / name) + lines);
    }
    std::string Work(const std::string& name) const { return work / name; }

  protected:
    void SetUp() override {
        Write("zav.ini", kSettings);
        Write("keys.ini", kKeys);
        Write("telnet.ini", kTelnet);
    }

    std::vector<std::string> Check() const { return ZConfigCheck::Run(work.Path().string()); }
    std::string Workdir() const { return test::Quote(work.Path().string()); }

    test::TempDir work;
};

TEST_F(ConfigCheck, UsableSettingsPass) {
    EXPECT_EQ(Check(), std::vector<std::string>{});
    const auto run = test::Run(Brisel("--check-config " + Workdir()));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "") << "nothing to say, as sshd -t";
}

// One mistake in otherwise usable settings, and the line that names it.
struct Broken {
    const char* name;
    std::function<void(ConfigCheck&)> change;
    std::vector<std::string> lines;  // %W stands for the work directory
};

// gtest shows a case by its name.
void PrintTo(const Broken& broken, std::ostream* out) {
    *out << broken.name;
}

class BrokenSettings : public ConfigCheck, public ::testing::WithParamInterface<Broken> {};

// The longest keep-alive interval is read as it is; the value the check refuses is in
// the table below.
TEST_F(ConfigCheck, KeepAliveIntervalUpToTheLongestTime) {
    Append("zav.ini", "keep_alive_interval=4294967\n");
    EXPECT_EQ(Check(), std::vector<std::string>{});
}

// Windows as tall as the screen picture supports, with a buffer above them.
TEST_F(ConfigCheck, WindowsUpTo400Rows) {
    Edit("zav.ini", "screen_height=24", "screen_height=400");
    Edit("zav.ini", "buff_height=300", "buff_height=500");
    EXPECT_EQ(Check(), std::vector<std::string>{});
}

const std::vector<Broken> kBroken = {
    {"UnknownKey",
     [](ConfigCheck& c) { c.Append("zav.ini", "colour_depth=256\n"); },
     {"zav.ini: [ZTerm] colour_depth: unknown"}},
    {"MisspelledKey",
     [](ConfigCheck& c) { c.Append("zav.ini", "idle_timout=60\n"); },
     {"zav.ini: [ZTerm] idle_timout: unknown; did you mean idle_timeout?"}},
    {"MisspelledTerminalKey",
     [](ConfigCheck& c) { c.Append("telnet.ini", "foreground_brigt_red=x\n"); },
     {"telnet.ini: [ZTelnet] foreground_brigt_red: unknown; did you mean "
      "foreground_bright_red?"}},
    {"NotANumber",
     [](ConfigCheck& c) { c.Append("zav.ini", "idle_timeout=1h\n"); },
     {"zav.ini: [ZTerm] idle_timeout: '1h' is not a number; expected 0 to 4294967"}},
    {"NumberOutOfRange",
     [](ConfigCheck& c) { c.Edit("zav.ini", "screen_width=80", "screen_width=300"); },
     {"zav.ini: [ZTerm] screen_width: 300 is out of range; expected 1 to 200"}},
    {"WindowTallerThanThePictureSupports",
     [](ConfigCheck& c) {
         c.Edit("zav.ini", "screen_height=24", "screen_height=401");
         c.Edit("zav.ini", "buff_height=300", "buff_height=500");
     },
     {"zav.ini: [ZTerm] screen_height: 401 is out of range; expected 1 to 400"}},
    {"KeepAliveBeyondTheLongestTime",
     [](ConfigCheck& c) { c.Append("zav.ini", "keep_alive_interval=4294968\n"); },
     {"zav.ini: [ZTerm] keep_alive_interval: 4294968 is out of range; expected 0 to 4294967"}},
    {"NotOneOfTheChoices",
     [](ConfigCheck& c) { c.Append("zav.ini", "reattach=always\n"); },
     {"zav.ini: [ZTerm] reattach: 'always' is not one of: ask newest never"}},
    {"NotABoolean",
     [](ConfigCheck& c) { c.Append("zav.ini", "dumb_client=yes\n"); },
     {"zav.ini: [ZTerm] dumb_client: 'yes' is not 0 or 1"}},
    {"BufferBelowTheWindow",
     [](ConfigCheck& c) { c.Edit("zav.ini", "buff_height=300", "buff_height=20"); },
     {"zav.ini: [ZTerm] buff_height: 20 is less than screen_height 24"}},
    {"ListWithoutColons",
     [](ConfigCheck& c) { c.Append("zav.ini", "fordbiden_login_list=root\n"); },
     {"zav.ini: [ZTerm] fordbiden_login_list: 'root' does not begin and end with ':' "
      "(:name:name:), so its first and last names never match"}},
    {"BothSpellings",
     [](ConfigCheck& c) {
         c.Append("zav.ini", "forbidden_login_list=:admin:\nfordbiden_login_list=:root:\n");
     },
     {"zav.ini: [ZTerm] forbidden_login_list: ignored; fordbiden_login_list is set too, and "
      "that spelling wins"}},
    {"DuplicatedKey",
     [](ConfigCheck& c) { c.Append("zav.ini", "screen_width=100\n"); },
     {"zav.ini: [ZTerm] screen_width: set again, ignored; the first one counts"}},
    {"SectionTwice",
     [](ConfigCheck& c) { c.Append("zav.ini", "[zterm]\nidle_timeout=5\n"); },
     {"zav.ini: [zterm]: again, ignored; only the first [zterm] section is read"}},
    {"LineWithoutEquals",
     [](ConfigCheck& c) { c.Append("zav.ini", "idle_timeout 60\n"); },
     {"zav.ini: [ZTerm] 'idle_timeout 60': no '=', ignored"}},
    {"MissingSection",
     [](ConfigCheck& c) { c.Edit("zav.ini", "[ZTerm]", "[ZTrem]"); },
     {"zav.ini: [ZTrem]: unknown section, ignored; did you mean [ZTerm]?",
      "zav.ini: no [ZTerm] section; the sessions do not start without it"}},
    {"MissingSettingsFile",
     [](ConfigCheck& c) { std::filesystem::remove(c.Work("zav.ini")); },
     {"zav.ini: cannot read %W/zav.ini: No such file or directory"}},
    {"NoKeyTable",
     [](ConfigCheck& c) { c.Edit("zav.ini", "key_init=keys.ini\n", ""); },
     {"zav.ini: [ZTerm] key_init: not set; the sessions refuse every client without a key "
      "table"}},
    {"MissingKeyTable",
     [](ConfigCheck& c) { std::filesystem::remove(c.Work("keys.ini")); },
     {"zav.ini: [ZTerm] key_init: cannot read keys.ini: No such file or directory"}},
    {"KeyTableWithoutKeys",
     [](ConfigCheck& c) { c.Write("keys.ini", "[ZKey]\ninput0=eof\n"); },
     {"keys.ini: [ZKey]: no keys (no inputN with bytes before an inputN=eof); the sessions "
      "refuse every client"}},
    {"KeyAfterTheListsEnd",
     [](ConfigCheck& c) { c.Append("keys.ini", "input7=1b\n"); },
     {"keys.ini: [ZKey] input7: ignored; the list ends at input2=eof"}},
    {"KeyBytesNotHexadecimal",
     [](ConfigCheck& c) { c.Edit("keys.ini", "input1=0d", "input1=0d 5g"); },
     {"keys.ini: [ZKey] input1: '0d 5g' is not hexadecimal bytes (00 to ff) or eof"}},
    {"KeyMessagesNotTriples",
     [](ConfigCheck& c) { c.Edit("keys.ini", "key1=100 0d 1", "key1=100 0d"); },
     {"keys.ini: [ZKey] key1: '100 0d' is not triples of hexadecimal numbers (message, wParam, "
      "lParam)"}},
    {"UnknownCodePage",
     [](ConfigCheck& c) {
         c.Edit("telnet.ini", "export_code_page=65001", "export_code_page=12345");
     },
     {"telnet.ini: [ZTelnet] export_code_page: 12345: iconv cannot convert into this code "
      "page"}},
    {"KeyTableBehindALink",
     [](ConfigCheck& c) {
         std::filesystem::create_directory(c.Work("real"));
         std::filesystem::rename(c.Work("keys.ini"), c.Work("real/keys.ini"));
         std::filesystem::create_directory_symlink("real", c.Work("tables"));
         c.Edit("zav.ini", "key_init=keys.ini", "key_init=tables/keys.ini");
     },
     {"zav.ini: [ZTerm] key_init: cannot read tables/keys.ini: tables is a symbolic link, and no "
      "link is followed"}},
};

TEST_P(BrokenSettings, AreNamed) {
    const Broken& broken = GetParam();
    broken.change(*this);
    std::vector<std::string> lines = broken.lines;
    for (std::string& line : lines) {
        if (const auto at = line.find("%W"); at != std::string::npos) {
            line.replace(at, 2, work.Path().string());
        }
    }
    const std::vector<std::string> problems = Check();
    std::string report;
    for (const std::string& problem : problems) {
        report += problem + "\n";
    }
    for (const std::string& line : lines) {
        EXPECT_NE(report.find(line + "\n"), std::string::npos) << report;
    }

    const auto check = test::Run(Brisel("--check-config " + Workdir()));
    EXPECT_EQ(check.status, 1);
    EXPECT_EQ(check.output, report);
}

INSTANTIATE_TEST_SUITE_P(Table, BrokenSettings, ::testing::ValuesIn(kBroken),
                         [](const ::testing::TestParamInfo<Broken>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(ConfigCheck, TheShippedSettingsPass) {
    for (const char* name : {"zav.ini", "zav_keys.ini", "zav_telnet.ini"}) {
        Write(name, test::ReadFile(std::string(ZAV_CONFIG_DIR) + "/" + name));
    }
    const auto check = test::Run(Brisel("--check-config " + Workdir()));
    EXPECT_EQ(check.status, 0);
    EXPECT_EQ(check.output, "");
}

// Lines no settings file would hold, and a settings file with a secret value.
const std::string kSecretLines =
    "root:$y$j9T$SECRETHASH:19700:0:99999:7:::\n"
    "api_token=SECRETTOKEN\n";
const std::string kSecretSettings = "[ZTerm]\nidle_timeout=SECRETVALUE\nSECRETLINE\n";

// What --check-config says, checked to show no secret.
std::string CheckShowingNoSecret(const std::string& workdir) {
    const auto check = test::Run(Brisel("--check-config " + test::Quote(workdir)));
    EXPECT_EQ(check.status, 1);
    for (const char* secret : {"SECRET", "root:", "api_token"}) {
        EXPECT_EQ(check.output.find(secret), std::string::npos) << check.output;
    }
    return check.output;
}

TEST_F(ConfigCheck, NothingOfAFileBehindALinkOrOfAFileNotOfSettingsIsShown) {
    // zav.ini a link: not followed, whatever it points to.
    for (const std::string& secret : {kSecretLines, kSecretSettings}) {
        Write("secret", secret);
        std::filesystem::rename(Work("zav.ini"), Work("settings.ini"));
        std::filesystem::create_symlink(Work("secret"), Work("zav.ini"));
        EXPECT_EQ(CheckShowingNoSecret(work.Path().string()),
                  "zav.ini: cannot read " + Work("zav.ini") +
                      ": zav.ini is a symbolic link, and no link is followed\n");
        std::filesystem::remove(Work("zav.ini"));
        std::filesystem::rename(Work("settings.ini"), Work("zav.ini"));
    }
    // Named in the settings, a file that is no settings file: only its name and why.
    Write("secret", kSecretLines);
    Edit("zav.ini", "key_init=keys.ini", "key_init=secret");
    EXPECT_EQ(CheckShowingNoSecret(work.Path().string()),
              "zav.ini: [ZTerm] key_init: cannot read secret: not a settings file (something "
              "other than blank lines and ';' comments comes before its first [section]); none "
              "of its lines is shown\n");
    Write("secret", "; comment\n\n[ZTelnet]\n" + std::string("SECRET\0LINE\n", 12));
    Edit("zav.ini", "telnet_init=telnet.ini", "telnet_init=secret");
    const std::string said = CheckShowingNoSecret(work.Path().string());
    EXPECT_NE(said.find("telnet_init: cannot read secret: not a settings file (it holds a zero "
                        "byte)"),
              std::string::npos)
        << said;
}

TEST(ConfigCheckNames, ClosestIsASlipOfTheKeyboardOrNothing) {
    const std::vector<std::string> known = {"screen_width", "screen_height", "key_init"};
    EXPECT_EQ(ZConfigCheck::Closest("SCREEN_WIDHT", known), "screen_width");
    EXPECT_EQ(ZConfigCheck::Closest("screen_hieght", known), "screen_height");
    EXPECT_EQ(ZConfigCheck::Closest("keyinit", known), "key_init");
    EXPECT_EQ(ZConfigCheck::Closest("window", known), "");
    EXPECT_EQ(ZConfigCheck::Closest("key", known), "");
}

}  // namespace
