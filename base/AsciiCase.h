// Case folding of ASCII letters only: the names in settings files and account lists are
// compared without regard to ASCII case, whatever the process's locale; every other byte
// (UTF-8 among them) is kept as it is.
#pragma once

#include <string>
#include <string_view>

inline std::string AsciiLower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return lower;
}
