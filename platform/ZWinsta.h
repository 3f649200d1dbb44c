// Helpers around the operating system: the shell's window station and desktop, error
// texts, process liveness, command-line switches and %NAME% expansion. Stateless.
#pragma once

#include <string>

#include "win32/Win32.h"

class ZWinsta {
  public:
    static bool SetWinstaAndDesktop(std::string prefix);
    static std::string GetErrorMessage(DWORD code);
    static bool ProcessStillActive(HANDLE process);
    // The value of a switch written as -name:value, or empty; name includes dash and colon.
    static std::string GetCmdLineParam(std::string name);
    static bool ExpandEnvironmentString(std::string& text);
};
