#include "session/ZTermConfig.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string_view>

#include "base/AsciiCase.h"
#include "console/ConsoleFlow.h"
#include "infra/ZIni.h"
#include "platform/ZWinsta.h"
#include "screen/ZScreen.h"
#include "session/ZBrisel.h"
#include "win32/Win32.h"

namespace {

// The settings file as the process sees it, or why it cannot be used.
std::string CheckSettingsFile(const std::string& path) {
    std::ifstream file(path);
    if (!file) {
        const char* reason = ::strerrordesc_np(errno);
        return "cannot read " + path + ": " + (reason != nullptr ? reason : "error");
    }
    std::string line;
    while (std::getline(file, line)) {
        const auto first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] != '[') {
            continue;
        }
        const auto close = line.find(']', first);
        const std::string name =
            AsciiLower(line.substr(first + 1, close == std::string::npos ? 0 : close - first - 1));
        if (name == "zterm") {
            return {};
        }
    }
    return path + " has no [ZTerm] section";
}

// A text setting with a second spelling: the shipped spelling's value when it is set,
// the other's otherwise.
void GetAliasedKey(ZIni& ini, const std::string& section, const char* name, std::string& value,
                   const ZIniRule& rule) {
    for (const ZTermConfig::Alias& alias : ZTermConfig::kAliases) {
        if (name == std::string_view(alias.shipped)) {
            std::string correct;
            ini.GetKey(section, alias.correct, correct, "", rule);
            ini.GetKey(section, alias.shipped, value, correct, rule);
            return;
        }
    }
    ini.GetKey(section, name, value, "", rule);
}

}  // namespace

void ZTermConfig::GetSize(ZIni& ini, const std::string& section, const char* key,
                          std::uint32_t& value, std::uint32_t most) {
    const ZIniRule rule = ZIniRule::Number(1, most);
    ini.GetKey(section, key, value, 0U, rule);
    // 0 (not set) leaves the size to the client. A larger size than the console supports
    // would fail every capture of the screen: the largest it supports is taken instead,
    // and said where the administrator looks, in the words of the settings' check.
    if (value > most) {
        limited.push_back("zav.ini: [" + section + "] " + key + ": " +
                          rule.Problem(std::to_string(value)) + "; " + std::to_string(most) +
                          " is used");
        value = most;
    }
}

ZTermConfig::ZTermConfig() : ZTermConfig(kIniFile) {
    port = ZWinsta::GetCmdLineParam("-port:");
    ip = ZWinsta::GetCmdLineParam("-ip:");

    // The shell inherits these (the login adds ZAV_USER).
    SetEnvironmentVariableA("ZAV_VERSION", kVersion);
    SetEnvironmentVariableA("ZAV_IP", ip.c_str());
    SetEnvironmentVariableA("ZAV_PORT", port.c_str());

    // Expanded once, here, so they may use the variables just set.
    ZWinsta::ExpandEnvironmentString(welcome_message);
    ZWinsta::ExpandEnvironmentString(pass_message);
    ZWinsta::ExpandEnvironmentString(pass_timeout_message);
    ZWinsta::ExpandEnvironmentString(idle_timeout_message);
    ZWinsta::ExpandEnvironmentString(shell_command);
}

ZTermConfig::ZTermConfig(const std::string& path) {
    // The reader takes the Windows spelling; the check of the file needs the Linux one.
    std::string file = path;
    std::replace(file.begin(), file.end(), '\\', '/');
    problem = CheckSettingsFile(file);
    ZIni ini;
    ini.File(path);
    const std::string section = "ZTerm";
    // The readers' results (the "eof" marker) are ignored: such a key keeps the text
    // "eof", or the default for a number.
    ini.GetKey(section, "rsakey_file", rsakey_file, "");
    ini.GetKey(section, "welcome_message", welcome_message, "");
    ini.GetKey(section, "pass_message", pass_message, "");
    ini.GetKey(section, "login_message", login_message, "");
    ini.GetKey(section, "pass_timeout_message", pass_timeout_message, "");
    ini.GetKey(section, "idle_timeout_message", idle_timeout_message, "");
    ini.GetKey(section, "service_stopped_message", service_stopped_message, "");
    GetAliasedKey(ini, section, "login_successfull_message", login_successfull_message,
                  ZIniRule::Text());
    ini.GetKey(section, "max_login_attempts", max_login_attempts, 0U,
               ZIniRule::Number(0, kMaxLoginAttempts));
    ini.GetKey(section, "allowed_login_list", allowed_login_list, "", ZIniRule::Names());
    GetAliasedKey(ini, section, "fordbiden_login_list", fordbiden_login_list, ZIniRule::Names());
    ini.GetKey(section, "shell_command", shell_command, "");
    ini.GetKey(section, "exec_commands", exec_commands, false);
    ini.GetKey(section, "accept_env", accept_env, "LANG LC_*");
    ini.GetKey(section, "print_motd", print_motd, false);
    ini.GetKey(section, "print_last_log", print_last_log, false);
    ini.GetSecretKey(section, "default_pass", default_pass, "");
    ini.GetKey(section, "default_domain", default_domain, "");
    ini.GetKey(section, "trace_level", trace_level, 0U, ZIniRule::Signed(INT32_MIN, INT32_MAX));
    ini.GetKey(section, "log_file", log_file, "");
    ini.GetKey(section, "trace_file", trace_file, "");
    ini.GetKey(section, "error_file", error_file, "");
    ini.GetKey(section, "log_iso_time", log_iso_time, false);
    ini.GetKey(section, "key_init", key_init, "");
    ini.GetKey(section, "telnet_init", telnet_init, "");
    ini.GetKey(section, "pass_timeout", pass_timeout, 0U, ZIniRule::Number(0, kMaxSeconds));
    ini.GetKey(section, "idle_timeout", idle_timeout, 0U, ZIniRule::Number(0, kMaxSeconds));
    ini.GetKey(section, "keep_alive_interval", keep_alive_interval, 0U,
               ZIniRule::Number(0, kMaxSeconds));
    ini.GetKey(section, "detach_timeout", detach_timeout, 0U, ZIniRule::Number(0, kMaxSeconds));
    ini.GetKey(section, "reattach", reattach, "ask", ZIniRule::Choice("ask newest never"));
    reattach = AsciiLower(reattach);
    if (reattach != "newest" && reattach != "never") {
        reattach = "ask";
    }
    ini.GetKey(section, "refresh_delay", refresh_delay, 0U, ZIniRule::Number(0, kMaxRefreshDelay));
    ini.GetKey(section, "scrollback_burst", scrollback_burst, 10000U);
    GetSize(ini, section, "screen_width", screen_width, ZScreen::kColumns);
    GetSize(ini, section, "screen_height", screen_height, ZBrisel::kMaxWindowRows);
    GetSize(ini, section, "buff_height", buff_height, kMaxConsoleBufferHeight);
    ini.GetKey(section, "dumb_client", dumb_client, false);
}
