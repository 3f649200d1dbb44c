// The sample configuration a newcomer gets: it loads, and its values do what its
// comments promise.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "screen/ZTelnet.h"
#include "support/TestSupport.h"
#include "win32/ConsoleDefaultColours.h"

namespace {

const std::string kConfig = ZAV_CONFIG_DIR;

std::string Setting(const std::string& output, const std::string& name) {
    const std::string start = name + "=[";
    const auto begin = output.find(start);
    if (begin == std::string::npos) {
        return "(missing)";
    }
    const auto end = output.find("]\n", begin);
    return output.substr(begin + start.size(), end - begin - start.size());
}

TEST(ShippedConfig, SessionSettings) {
    const auto run = test::Run("cd " + test::Quote(kConfig) + " && " + ZAV_PROBE_PATH +
                               " config -ip:192.0.2.1 -port:50000");
    ASSERT_EQ(run.status, 0);
    const std::string& out = run.output;
    EXPECT_EQ(Setting(out, "welcome_message"), "\nZAV terminal server 1.13d\n\n");
    EXPECT_EQ(Setting(out, "login_message"), "login: ") << "quotes keep the blank";
    EXPECT_EQ(Setting(out, "pass_message"), "\nPassword: ");
    EXPECT_EQ(Setting(out, "fordbiden_login_list"), ":root:");
    EXPECT_EQ(Setting(out, "default_pass"), "");
    EXPECT_EQ(Setting(out, "screen_width"), "80");
    EXPECT_EQ(Setting(out, "screen_height"), "24");
    EXPECT_EQ(Setting(out, "buff_height"), "300");
    EXPECT_EQ(Setting(out, "max_login_attempts"), "3");
    EXPECT_EQ(Setting(out, "pass_timeout"), "60");
    EXPECT_EQ(Setting(out, "trace_level"), "10");
    // As Debian's sshd: the client's locale, the message of the day, the last log-in.
    EXPECT_EQ(Setting(out, "accept_env"), "LANG LC_*");
    EXPECT_EQ(Setting(out, "print_motd"), "1");
    EXPECT_EQ(Setting(out, "print_last_log"), "1");
    // A dropped client's session waits an hour for its user, who is asked on log-on.
    EXPECT_EQ(Setting(out, "detach_timeout"), "3600");
    EXPECT_EQ(Setting(out, "reattach"), "ask");
    EXPECT_EQ(Setting(out, "keep_alive_interval"), "15") << "a stalled client is noticed";
    // One log and one error file for all sessions; a trace only when asked for.
    EXPECT_EQ(Setting(out, "log_file"), "brisel.log");
    EXPECT_EQ(Setting(out, "error_file"), "brisel.err");
    EXPECT_EQ(Setting(out, "trace_file"), "");
    EXPECT_EQ(Setting(out, "log_iso_time"), "1") << "dates a grep and fail2ban read";
    // The files it names are shipped beside it.
    for (const char* file : {"key_init", "telnet_init"}) {
        EXPECT_FALSE(test::ReadFile(kConfig + "/" + Setting(out, file)).empty()) << file;
    }
}

TEST(ShippedConfig, ShellCommandRunsTheAccountsLoginShell) {
    const auto run = test::Run("cd " + test::Quote(kConfig) + " && " + ZAV_PROBE_PATH + " config");
    const std::string command = Setting(run.output, "shell_command");
    // The session runs the command line as /bin/sh -c "exec <command line>".
    const std::string script = "shopt -q login_shell && echo login; echo $BASH_VERSION";
    const auto bash = test::Run("echo " + test::Quote(script) + " | env SHELL=/bin/bash sh -c " +
                                test::Quote("exec " + command));
    EXPECT_EQ(bash.status, 0);
    EXPECT_EQ(bash.output.substr(0, 6), "login\n") << bash.output;
    const auto fallback =
        test::Run("echo 'echo $0' | env -u SHELL sh -c " + test::Quote("exec " + command));
    EXPECT_EQ(fallback.output, "/bin/sh\n") << "without SHELL, the system shell";
    // The log-in starts it in the home directory; it changes directory no more, so no
    // OLDPWD leads back to where the session runs.
    const auto home = test::Run(
        "cd /tmp && echo 'pwd; echo \"[${OLDPWD-unset}]\"' | "
        "env -u OLDPWD HOME=/ SHELL=/bin/sh sh -c " +
        test::Quote("exec " + command));
    EXPECT_EQ(home.output, "/tmp\n[unset]\n");
}

TEST(ShippedConfig, TerminalFileSendsTheClientsOwnAndBrightColoursAndUtf8) {
    ZTelnet telnet;
    WORD last = 0;  // the colour last sent
    telnet.Load(kConfig + "/zav_telnet.ini");
    for (std::size_t i = 0; i < ZTelnet::SequenceCount; ++i) {
        const bool blink =
            i == ZTelnet::BackgroundIntensityOn || i == ZTelnet::BackgroundIntensityOff;
        EXPECT_EQ(telnet.m_sequences[i], blink ? "" : ZTelnet::kBuiltIn[i])
            << ZTelnet::kSequenceKeys[i];
    }
    for (std::size_t i = 0; i < ZTelnet::ExtraCount; ++i) {
        EXPECT_FALSE(telnet.m_extra[i].empty()) << ZTelnet::kExtraKeys[i];
    }
    EXPECT_EQ(telnet.SetColor(0x07 | CONSOLE_DEFAULT_COLOURS, last),
              "\x1b[22m\x1b[39m\x1b[49m\x1b[24m");
    EXPECT_EQ(telnet.SetColor(0xF0 | COMMON_LVB_UNDERSCORE, last),
              "\x1b[22m\x1b[30m\x1b[107m\x1b[4m")
        << "a bright background never blinks";
    EXPECT_EQ(telnet.SetColor(0x09 | CONSOLE_DEFAULT_BACKGROUND, last),
              "\x1b[22m\x1b[94m\x1b[49m\x1b[24m");
    EXPECT_EQ(telnet.m_codePage, 65001);
    EXPECT_FALSE(telnet.m_ctrlCEnabled);
    EXPECT_TRUE(telnet.m_pairs.empty()) << "the pair list ends at once";
    EXPECT_EQ(telnet.ExportChar(u'\u00e9'), "\xc3\xa9");
}

// Every key the terminal file's reader asks for is described in the configuration
// reference and in zav.ini(5).
TEST(ShippedConfig, EveryTerminalKeyIsDocumented) {
    const std::string reference = test::ReadFile(kConfig + "/../docs/configuration.md");
    const std::string manual = test::ReadFile(kConfig + "/../man/zav.ini.5");
    ASSERT_FALSE(reference.empty());
    ASSERT_FALSE(manual.empty());
    std::vector<std::string> keys(ZTelnet::kSequenceKeys.begin(), ZTelnet::kSequenceKeys.end());
    keys.insert(keys.end(), ZTelnet::kExtraKeys.begin(), ZTelnet::kExtraKeys.end());
    keys.insert(keys.end(), {"ctrl_c_enabled", "export_code_page", "client0", "server0"});
    const std::regex word("[a-z0-9_]+");
    for (const std::string& key : keys) {
        EXPECT_NE(reference.find("`" + key + "`"), std::string::npos) << key;
        bool inManual = false;
        for (auto it = std::sregex_iterator(manual.begin(), manual.end(), word);
             it != std::sregex_iterator() && !inManual; ++it) {
            inManual = it->str() == key;
        }
        EXPECT_TRUE(inManual) << key;
    }
}

}  // namespace
