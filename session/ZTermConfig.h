// The session's settings: section [ZTerm] of .\zav.ini in the current directory, read
// once, plus the client's address and port from the command line.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

class ZIni;

class ZTermConfig {
  public:
    // The settings file, in the Windows spelling the profile reader accepts.
    static constexpr const char* kIniFile = ".\\zav.ini";
    static constexpr const char* kVersion = "1.13d";

    // Keys read under a second, correct spelling too; the shipped spelling wins when
    // both are set, so files written for it keep their meaning.
    struct Alias {
        const char* shipped;
        const char* correct;
    };
    static constexpr std::array<Alias, 2> kAliases = {{
        {"login_successfull_message", "login_successful_message"},
        {"fordbiden_login_list", "forbidden_login_list"},
    }};

    // The longest time in seconds: the session counts milliseconds in 32 bits.
    static constexpr long long kMaxSeconds = 0xFFFFFFFFLL / 1000;
    // The least time between two screen updates, at most: more leaves the client's
    // screen seconds behind.
    static constexpr long long kMaxRefreshDelay = 10000;
    // Refused log-on attempts before the session ends, at most.
    static constexpr long long kMaxLoginAttempts = 100;

    // The session's settings: .\zav.ini, the command line, and the variables set for
    // the shell.
    ZTermConfig();
    // Only the settings in the file at path, read as the session reads them.
    explicit ZTermConfig(const std::string& path);

    std::string rsakey_file;
    std::string welcome_message;
    std::string login_message;
    std::string pass_message;
    std::string pass_timeout_message;
    std::string idle_timeout_message;
    std::string service_stopped_message;
    std::string login_successfull_message;
    std::string allowed_login_list;
    std::string fordbiden_login_list;
    std::string shell_command;
    std::string accept_env = "LANG LC_*";  // the client's variables the shell gets
    // Whether a log-on offers the account's detached sessions: "ask" (a choice in the
    // console), "newest" (taken without asking) or "never".
    std::string reattach = "ask";
    std::string default_pass;
    std::string default_domain;
    std::string log_file;
    std::string trace_file;
    std::string error_file;
    std::string key_init;
    std::string telnet_init;
    std::uint32_t screen_width = 0;          // used as signed 16-bit
    std::uint32_t screen_height = 0;         // used as signed 16-bit
    std::uint32_t buff_height = 0;           // used as signed 16-bit
    std::uint32_t keep_alive_interval = 0;   // seconds
    std::uint32_t detach_timeout = 0;        // seconds a session outlives its client
    std::uint32_t pass_timeout = 0;          // seconds
    std::uint32_t idle_timeout = 0;          // seconds
    std::uint32_t refresh_delay = 0;         // milliseconds
    std::uint32_t scrollback_burst = 10000;  // lines
    std::uint32_t max_login_attempts = 0;
    std::uint32_t trace_level = 0;  // used as signed
    bool dumb_client = false;
    bool log_iso_time = false;    // the lines' times as ISO 8601 UTC
    bool exec_commands = false;   // a client's exec request runs its command
    bool print_motd = false;      // an interactive log-on shows the message of the day
    bool print_last_log = false;  // and the account's last log-in
    bool debug = false;
    std::string port;
    std::string ip;
    // Why the settings cannot be used (the file unreadable, or without a [ZTerm]
    // section); empty when they can.
    std::string problem;
    // Sizes beyond what the console supports, each cut to the largest it does: a line
    // per setting naming it, its allowed range and the value used instead.
    std::vector<std::string> limited;

  private:
    // Reads a size of the console, 1 to most; 0 when not set.
    void GetSize(ZIni& ini, const std::string& section, const char* key, std::uint32_t& value,
                 std::uint32_t most);
};
