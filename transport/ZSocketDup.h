// Takes the connected client socket over from the listening service: the three-message
// exchange on the hand-off pipes, then the socket re-created from the service's record.
#pragma once

#include <string>

#include "win32/Win32.h"

class ZSocketDup {
  public:
    // The socket, or INVALID_SOCKET on any failure.
    static SOCKET GetSocket(std::string suffix);
};
