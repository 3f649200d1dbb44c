// Checks the session's settings before any session reads them, as `sshd -t` does (run
// as `brisel --check-config`, and by zavd through it): zav.ini's [ZTerm] section, the key
// table (key_init) and the terminal settings (telnet_init). The session's own readers
// load each file, so the keys they ask for are the known ones and what they take as
// values (ZIniRule, declared beside each reader) is what is checked; the files are parsed
// by the readers' parser to find what those readers pass over in silence (unknown and
// repeated keys and sections, values that read as a default, lines without '=').
#pragma once

#include <string>
#include <string_view>
#include <vector>

class ZConfigCheck {
  public:
    // One line per problem, each naming its file, section and key; empty when the
    // settings can be used. workdir is where the session runs: zav.ini is there, and the
    // names in it start there.
    static std::vector<std::string> Run(const std::string& workdir);

    // The name in known closest to name (without regard to ASCII case) when it is close
    // enough to be a slip of the keyboard; empty otherwise.
    static std::string Closest(std::string_view name, const std::vector<std::string>& known);
};
