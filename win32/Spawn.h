// Starting a program on a terminal handed over by the worker (for the monitor).
#pragma once

#include "win32/ConsoleTerminal.h"
#include "win32/Win32.h"

// As CreateProcessAsUserA, on the terminal given instead of this process's console.
BOOL StartOnTerminal(HANDLE token, char* commandLine, const char* directory,
                     const ConsoleAttachment& terminal, PROCESS_INFORMATION* process);
