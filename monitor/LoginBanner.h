// What an interactive log-on shows on its terminal before the shell starts, as Debian's
// sshd shows it: what the session modules said while the session opened (pam_motd's
// message of the day), then "Last login: <date> from <host>" from lastlog as it was
// before this log-on's record. Not for a command, nor for an account with ~/.hushlogin.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <string>
#include <string_view>

class LoginBanner {
  public:
    // sshd's line: "Last login: Tue Dec  8 10:00:00 2026 from HOST" (without " from HOST"
    // for a local log-in), in this process's time zone, with CR LF.
    static std::string LastLoginLine(std::time_t when, const std::string& host);
    // The modules' messages with every line ended by CR LF, then the last log-in line.
    static std::string Compose(std::string_view messages, std::string_view lastLogin);
    // The whole text for an interactive log-on of the account (uid, home): the modules'
    // messages when motd, the last log-in when lastLog; empty when the account is hushed.
    static std::string For(bool motd, bool lastLog, std::string_view messages, uid_t uid,
                           const std::string& home);
    // Whether the account asks for a quiet log-in (~/.hushlogin exists).
    static bool Hushed(const std::string& home);
    // Writes text to the terminal (its slave side), waiting at most timeoutMs for room:
    // a terminal nobody reads cannot hold the shell's start. False when not all of it
    // was written.
    static bool Show(int terminal, std::string_view text, int timeoutMs);
};
