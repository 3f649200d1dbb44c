// The terminal of the process's console, as the seam's process, log-on and window
// station calls see it: programs start on it, and PAM is told its name. The console
// itself lives above the seam and provides itself here, so the seam never reaches up for
// it; a program without the console room has no console.
#pragma once

#include <termios.h>

#include <string>

#include "base/UniqueFd.h"

// What a child process needs to run on the console; prepared before fork, so that the
// child only makes async-signal-safe calls.
struct ConsoleAttachment {
    int slave = -1;
    termios mode{};
};

class ConsoleTerminal {
  public:
    virtual ~ConsoleTerminal() = default;

    virtual bool PrepareAttachment(ConsoleAttachment& attachment) = 0;
    // The terminal's device path (/dev/pts/N).
    virtual std::string TerminalName() const = 0;

    // The process's console, created on first use; null (error code set) when it cannot
    // be, ENOTTY when the program has none.
    static ConsoleTerminal* Current();
    using Provider = ConsoleTerminal* (*)();
    static void SetProvider(Provider provider);

    // Makes a pseudo-terminal: both ends close-on-exec and never this process's
    // controlling terminal, the slave's path in name. False with the error code set.
    static bool Make(UniqueFd& master, UniqueFd& slave, std::string& name);

    // In a forked child: a new session with the console as controlling terminal and as
    // descriptors 0, 1 and 2, every other descriptor closed at the exec that follows.
    // Returns 0 or an errno value.
    static int AttachChild(const ConsoleAttachment& attachment);
};
