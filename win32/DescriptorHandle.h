// A handle to wait on for a descriptor the process holds (a socket to another process):
// signalled while the descriptor is readable, or with forRoom while it is writable. The
// handle holds a duplicate, so the descriptor's owner keeps its own.
#pragma once

#include "win32/Win32.h"

// The handle, or null (error code set) when fd cannot be duplicated.
HANDLE DescriptorHandle(int fd, bool forRoom);
