// The usual ending of a seam call that failed in a system call.
#pragma once

#include "win32/Win32.h"

// Sets the last-error code from errno and returns FALSE.
BOOL FailWithErrno();
