// The local (AF_UNIX) stream sockets the session's hand-off connects to.
#pragma once

#include <string>

#include "base/UniqueFd.h"

enum class SocketDirection { Reading, Writing };

// A stream socket connected to the local socket at path, close-on-exec; invalid with the
// error code set when it cannot be.
UniqueFd ConnectLocalSocket(const std::string& path);
// Ends one direction of a connected socket.
void ShutDownSocket(int fd, SocketDirection direction);
