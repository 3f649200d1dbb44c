// The socket handed over by another process: the descriptor that travelled beside the
// socket's record (WSAPROTOCOL_INFOA), which on Windows would name it by itself.
#pragma once

#include "base/UniqueFd.h"
#include "win32/Win32.h"

// The passed descriptor as a socket, when it really is a socket of the record's family,
// type and protocol; INVALID_SOCKET (error code set) otherwise.
SOCKET SocketFromRecord(const WSAPROTOCOL_INFOA& record, UniqueFd passed);
