// How a process ended by a signal: what a process handle knows beyond its exit code.
#pragma once

#include "win32/Win32.h"

// The signal that ended the process (0 when it exited or still runs) and whether it left
// a core dump. False (error code set) for a handle that is not a process's.
bool ExitSignalOf(HANDLE process, DWORD& signal, bool& coreDumped);
