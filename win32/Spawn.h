// Starting programs on a terminal: the steps CreateProcessA and CreateProcessAsUserA are
// made of, for the implementations of the privileged calls and for the monitor.
#pragma once

#include <sys/types.h>

#include "win32/ConsoleTerminal.h"
#include "win32/StandardStreams.h"
#include "win32/Win32.h"

class TokenObject;

// As CreateProcessAsUserA, on the terminal given instead of this process's console.
BOOL StartOnTerminal(HANDLE token, char* commandLine, const char* directory,
                     const ConsoleAttachment& terminal, PROCESS_INFORMATION* process);
// As CreateProcessAsUserA with STARTF_USESTDHANDLES: on the streams given, in a session
// of its own without a terminal.
BOOL StartOnStreams(HANDLE token, char* commandLine, const char* directory,
                    const StandardStreams& streams, PROCESS_INFORMATION* process);
// Starts the program in this process's way: forked here, as the account (this process's
// own without one), on the console, or on the streams when given.
BOOL StartProgram(const TokenObject* account, char* commandLine, const char* directory,
                  PROCESS_INFORMATION& process, const StandardStreams* streams = nullptr);
// The handles of a process started elsewhere (by the privileged side), watched by its id.
BOOL AdoptProcess(pid_t pid, PROCESS_INFORMATION& process);
