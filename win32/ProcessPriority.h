// Background priority: a session whose output floods past what its client can be shown
// yields the processors to interactive work, and takes its usual priority back when the
// flood is over or the user types. Nothing on this machine's side waits for it: a lower
// priority only matters while others want the processors.
#pragma once

#include <sys/types.h>

#include "win32/Win32.h"

class ProcessPriority {
  public:
    // The nice value of the background: the lowest there is.
    static constexpr int kBackgroundNice = 19;
    // The thread that moves with the process: the console's pump, which absorbs the
    // flood. The others (the loop that reads the user's keys) keep the usual priority
    // among the process's threads, so that a Ctrl+C is taken at once.
    static constexpr const char* kYieldingThread = "brisel-pump";

    enum class Outcome {
        Done,
        TryLater,  // the system limits how often a process may change it: ask again later
        Failed,    // refused or impossible (last-error code set): asking again will not help
    };

    // Moves this process into the background or back, through the privilege broker (the
    // monitor changes the worker's when the session is split).
    static Outcome Background(bool on);

    // The change itself, for process pid: its scheduling group (the kernel's autogroup of
    // its session, where the system has them, when pid or this process leads that
    // session) and, when threads is true, its threads named kYieldingThread. A thread's
    // priority is raised back only with the right to do so (root), so an unprivileged
    // process leaves its threads alone. False with the last-error code set; EAGAIN when
    // the system asks to try again later.
    static bool Apply(pid_t pid, bool background, bool threads);
};
