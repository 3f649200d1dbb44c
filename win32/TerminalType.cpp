#include "win32/TerminalType.h"

#include <unistd.h>

#include <array>

bool IsTerminalTypeName(std::string_view name) {
    if (name.empty() || name.size() > 64 || name.front() == '.' || name.front() == '-') {
        return false;
    }
    for (const char c : name) {
        const bool fits = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '+' || c == '-';
        if (!fits) {
            return false;
        }
    }
    return true;
}

std::string ProgramTerminalType(std::string_view client) {
    constexpr std::string_view kFallback = "xterm";
    if (!IsTerminalTypeName(client)) {
        return std::string(kFallback);
    }
    // ncurses' search path on Debian: entries under the first letter of the name.
    constexpr std::array<std::string_view, 3> kDirectories = {"/etc/terminfo", "/lib/terminfo",
                                                              "/usr/share/terminfo"};
    for (const std::string_view directory : kDirectories) {
        std::string path(directory);
        path += '/';
        path += client.front();
        path += '/';
        path += client;
        if (::access(path.c_str(), R_OK) == 0) {
            return std::string(client);
        }
    }
    return std::string(kFallback);
}
