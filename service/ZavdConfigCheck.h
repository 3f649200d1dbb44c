// Checks a work directory's settings before any session reads them, as `sshd -t` does:
// zav.ini's [ZTerm] section, the key table (key_init), the terminal settings
// (telnet_init) and the key-set file (rsakey_file). The session's own readers load each
// file, so the keys they ask for are the known ones; the files are parsed by the
// readers' parser to find what those readers pass over in silence (unknown and repeated
// keys and sections, values that read as a default, lines without '=').
#pragma once

#include <string>
#include <string_view>
#include <vector>

class ZavdConfigCheck {
  public:
    // One line per problem, each naming its file, section and key; empty when the
    // settings can be used. With keyFile false the key-set file is not looked at
    // (zavd --genkey is about to create it).
    static std::vector<std::string> Run(const std::string& workdir, bool keyFile = true);

    // The name in known closest to name (without regard to ASCII case) when it is close
    // enough to be a slip of the keyboard; empty otherwise.
    static std::string Closest(std::string_view name, const std::vector<std::string>& known);
};
