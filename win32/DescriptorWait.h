// The descriptor behind a handle, for code that waits on several sources at once (the
// SSH channel's event loop waits on the console's events with the client).
#pragma once

#include "win32/Win32.h"

// The descriptor to wait on for a handle (a process, an event, a pipe's end), or -1.
// resetOnWait tells whether the object resets when a wait sees it (an event) and the
// waiter must read it; forRoom whether the wait is for writability (a pipe's write end)
// rather than readability.
int WaitDescriptorOf(HANDLE handle, bool* resetOnWait = nullptr, bool* forRoom = nullptr);
