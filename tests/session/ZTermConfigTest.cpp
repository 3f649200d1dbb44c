// The settings are loaded in a fresh process (the probe), in a directory of the test's
// own, with the command line and environment the test chooses.
#include "session/ZTermConfig.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace {

class ConfigTest : public ::testing::Test {
  protected:
    // Runs the probe in the directory and returns its name=[value] lines as a map.
    std::map<std::string, std::string> Load(const std::string& arguments = "",
                                            const std::string& environment = "") {
        const auto run = test::Run("cd " + test::Quote(m_dir.Path().string()) + " && env " +
                                   environment + " " + ZAV_PROBE_PATH + " config " + arguments);
        EXPECT_EQ(run.status, 0);
        std::map<std::string, std::string> values;
        std::size_t pos = 0;
        while (pos < run.output.size()) {
            const auto eq = run.output.find("=[", pos);
            const auto end = run.output.find("]\n", eq);
            if (eq == std::string::npos || end == std::string::npos) {
                break;
            }
            values[run.output.substr(pos, eq - pos)] = run.output.substr(eq + 2, end - eq - 2);
            pos = end + 2;
        }
        return values;
    }

    test::TempDir m_dir;
};

TEST_F(ConfigTest, WithoutSectionEverythingDefaultsAndVariablesAreStillSet) {
    test::WriteFile(m_dir / "zav.ini", "[Other]\nscreen_width = 80\n");
    auto v = Load("-ip:10.0.0.7 -port:4711");
    for (const char* key : {"rsakey_file", "welcome_message", "shell_command", "default_pass",
                            "log_file", "key_init", "telnet_init"}) {
        EXPECT_EQ(v[key], "") << key;
    }
    for (const char* key : {"screen_width", "screen_height", "buff_height", "pass_timeout",
                            "idle_timeout", "keep_alive_interval", "refresh_delay",
                            "max_login_attempts", "trace_level", "dumb_client", "exec_commands",
                            "log_iso_time", "print_motd", "print_last_log", "detach_timeout"}) {
        EXPECT_EQ(v[key], "0") << key;
    }
    EXPECT_EQ(v["accept_env"], "LANG LC_*") << "the locale's variables, as Debian's sshd";
    EXPECT_EQ(v["reattach"], "ask");
    EXPECT_EQ(v["ip"], "10.0.0.7");
    EXPECT_EQ(v["port"], "4711");
    EXPECT_EQ(v["ZAV_VERSION"], "1.13d");
    EXPECT_EQ(v["ZAV_IP"], "10.0.0.7");
    EXPECT_EQ(v["ZAV_PORT"], "4711");
}

TEST_F(ConfigTest, MissingFileGivesDefaultsAndEmptyVariables) {
    auto v = Load();
    EXPECT_EQ(v["screen_width"], "0");
    EXPECT_EQ(v["ZAV_IP"], "");
    EXPECT_EQ(v["ZAV_PORT"], "");
    EXPECT_EQ(v["ZAV_VERSION"], "1.13d");
}

TEST_F(ConfigTest, EveryKeyIsRead) {
    test::WriteFile(m_dir / "zav.ini",
                    "[ZTerm]\n"
                    "rsakey_file = keys.p15\n"
                    "welcome_message = Welcome\\n\n"
                    "login_message = login: \n"
                    "pass_message = \"password: \"\n"
                    "pass_timeout_message = too slow\n"
                    "idle_timeout_message = idle\n"
                    "service_stopped_message = stopped\n"
                    "login_successfull_message = ok\n"
                    "allowed_login_list = :Alice:bob:\n"
                    "fordbiden_login_list = :root:\n"
                    "shell_command = /bin/bash -l\n"
                    "default_pass = s3cret\n"
                    "default_domain = corp\n"
                    "log_file = log_?pid.txt\n"
                    "trace_file = trace.txt\n"
                    "error_file = error.txt\n"
                    "log_iso_time = 1\n"
                    "key_init = .\\keys.ini\n"
                    "telnet_init = telnet.ini\n"
                    "screen_width = 80\n"
                    "screen_height = 24\n"
                    "buff_height = 300\n"
                    "pass_timeout = 60\n"
                    "idle_timeout = 3600\n"
                    "keep_alive_interval = 30\n"
                    "refresh_delay = 20\n"
                    "max_login_attempts = 3\n"
                    "trace_level = 10\n"
                    "dumb_client = 1\n"
                    "exec_commands = 1\n"
                    "accept_env = LANG LC_* TZ\n"
                    "print_motd = 1\n"
                    "print_last_log = 1\n"
                    "detach_timeout = 600\n"
                    "reattach = Newest\n");
    auto v = Load();
    const std::map<std::string, std::string> expected{
        {"rsakey_file", "keys.p15"},
        {"welcome_message", "Welcome\n"},
        {"login_message", "login:"},
        {"pass_message", "password: "},
        {"pass_timeout_message", "too slow"},
        {"idle_timeout_message", "idle"},
        {"service_stopped_message", "stopped"},
        {"login_successfull_message", "ok"},
        {"allowed_login_list", ":Alice:bob:"},
        {"fordbiden_login_list", ":root:"},
        {"shell_command", "/bin/bash -l"},
        {"default_pass", "s3cret"},
        {"default_domain", "corp"},
        {"log_file", "log_?pid.txt"},
        {"trace_file", "trace.txt"},
        {"error_file", "error.txt"},
        {"log_iso_time", "1"},
        {"key_init", ".\\keys.ini"},
        {"telnet_init", "telnet.ini"},
        {"screen_width", "80"},
        {"screen_height", "24"},
        {"buff_height", "300"},
        {"pass_timeout", "60"},
        {"idle_timeout", "3600"},
        {"keep_alive_interval", "30"},
        {"refresh_delay", "20"},
        {"max_login_attempts", "3"},
        {"trace_level", "10"},
        {"dumb_client", "1"},
        {"exec_commands", "1"},
        {"accept_env", "LANG LC_* TZ"},
        {"print_motd", "1"},
        {"print_last_log", "1"},
        {"detach_timeout", "600"},
        {"reattach", "newest"},
    };
    for (const auto& [key, value] : expected) {
        EXPECT_EQ(v[key], value) << key;
    }
    // The password never shows in the trace of the load.
    EXPECT_EQ(v["recent"].find("s3cret"), std::string::npos);
}

TEST_F(ConfigTest, FiveSettingsAreExpandedOnceAndTheOthersNot) {
    test::WriteFile(m_dir / "zav.ini",
                    "[ZTerm]\n"
                    "welcome_message = Version %ZAV_VERSION% on %COMPUTERNAME% from %ZAV_IP%\n"
                    "login_message = Version %ZAV_VERSION%\n"
                    "pass_message = %ZAV_PORT%\n"
                    "pass_timeout_message = %T_LATE%\n"
                    "idle_timeout_message = %T_TWICE%\n"
                    "service_stopped_message = %ZAV_VERSION%\n"
                    "login_successfull_message = %ZAV_VERSION%\n"
                    "shell_command = %COMSPEC% /k\n"
                    "default_domain = %ZAV_VERSION%\n");
    auto v = Load("-ip:1.2.3.4 -port:22",
                  "COMPUTERNAME=host1 COMSPEC=/bin/sh T_LATE=late 'T_TWICE=%COMSPEC%'");
    EXPECT_EQ(v["welcome_message"], "Version 1.13d on host1 from 1.2.3.4");
    EXPECT_EQ(v["login_message"], "Version %ZAV_VERSION%");
    EXPECT_EQ(v["pass_message"], "22");
    EXPECT_EQ(v["pass_timeout_message"], "late");
    EXPECT_EQ(v["idle_timeout_message"], "%COMSPEC%") << "a value is not expanded again";
    EXPECT_EQ(v["service_stopped_message"], "%ZAV_VERSION%");
    EXPECT_EQ(v["login_successfull_message"], "%ZAV_VERSION%");
    EXPECT_EQ(v["shell_command"], "/bin/sh /k");
    EXPECT_EQ(v["default_domain"], "%ZAV_VERSION%");
}

TEST_F(ConfigTest, CorrectSpellingsReadAsTheShippedNames) {
    test::WriteFile(m_dir / "zav.ini",
                    "[ZTerm]\n"
                    "forbidden_login_list = :root:\n"
                    "login_successful_message = Welcome\\n\n");
    auto v = Load();
    EXPECT_EQ(v["fordbiden_login_list"], ":root:");
    EXPECT_EQ(v["login_successfull_message"], "Welcome\n");

    // With both spellings the shipped one wins, also when it is empty.
    test::WriteFile(m_dir / "zav.ini",
                    "[ZTerm]\n"
                    "forbidden_login_list = :alice:\n"
                    "fordbiden_login_list = :root:\n"
                    "login_successful_message = Welcome\n"
                    "login_successfull_message =\n");
    v = Load();
    EXPECT_EQ(v["fordbiden_login_list"], ":root:");
    EXPECT_EQ(v["login_successfull_message"], "");
}

TEST_F(ConfigTest, NegativeTraceLevelAndEofValues) {
    test::WriteFile(m_dir / "zav.ini",
                    "[zterm]\n"
                    "trace_level = -1\n"
                    "screen_width = eof\n"
                    "welcome_message = eof\n"
                    "dumb_client = yes\n");
    auto v = Load();
    EXPECT_EQ(v["trace_level"], "4294967295");
    EXPECT_EQ(v["trace_level_signed"], "-1");
    EXPECT_EQ(v["screen_width"], "0");
    EXPECT_EQ(v["welcome_message"], "eof");
    EXPECT_EQ(v["dumb_client"], "0");
}

}  // namespace

// A size larger than the console supports is cut to the largest it does, and named with
// its range (the session writes the line to its error file); one in range passes as it is.
TEST(ConfigSizes, ASizeBeyondTheConsolesIsCutAndNamed) {
    test::TempDir dir;
    test::WriteFile(dir / "zav.ini",
                    "[ZTerm]\nscreen_width=300\nscreen_height=24\nbuff_height=40000\n");
    const ZTermConfig config(dir / "zav.ini");
    EXPECT_EQ(config.screen_width, 200U);
    EXPECT_EQ(config.screen_height, 24U);
    EXPECT_EQ(config.buff_height, 32766U);
    EXPECT_EQ(config.limited,
              (std::vector<std::string>{
                  "zav.ini: [ZTerm] screen_width: 300 is out of range; expected 1 to 200; 200 "
                  "is used",
                  "zav.ini: [ZTerm] buff_height: 40000 is out of range; expected 1 to 32766; "
                  "32766 is used"}));
}
