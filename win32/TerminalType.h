// The terminal type the programs on the console are told (TERM): the client's own when
// the machine has its terminfo entry (the console renders what such a terminal shows,
// and passes on what it cannot), else xterm.
#pragma once

#include <string>
#include <string_view>

// The variable of the session's environment that names the client's terminal type for
// the process that starts the shell; the shell does not inherit it.
constexpr const char* kClientTerminalVariable = "ZAV_TERM";

// Whether name can be a terminal type: 1 to 64 of letters, digits, '.', '_', '+' and
// '-', not beginning with '.' or '-' (no path, no option).
bool IsTerminalTypeName(std::string_view name);
// The type for the programs, given the client's (empty when it named none).
std::string ProgramTerminalType(std::string_view client);
