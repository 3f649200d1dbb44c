// Privilege separation, as OpenSSH does it. Run as root, a session splits in two before
// it reads anything from the network: a small privileged monitor (MonitorServer) and an
// unprivileged worker (MonitorClient) joined by a socketpair carrying the few messages of
// MonitorWire. The worker runs everything that parses bytes from the network or the
// terminal, as a user id of its own that no other session and no account shares, with no
// capabilities, no new privileges and no core dump. The monitor holds the policy it was
// given here, the session's pseudo-terminal (made here, as root, so no other session's
// worker can open it), PAM, the shell and its group. Without root there is no split: one
// process does everything.
#pragma once

#include <sys/types.h>

#include "monitor/MonitorPolicy.h"

class Monitor {
  public:
    // The worker's user and group ids are this base plus the monitor's process id: unique
    // among the sessions that run, and in a range no account of the system uses.
    static constexpr uid_t kWorkerIdBase = 0x7F000000;

    // As root: makes the session's terminal and forks; the parent serves the worker until
    // it ends and then exits with it, the child becomes the worker and returns true.
    // Without root: nothing to do, true. False (error code set) when the split cannot be
    // made.
    // MonitorClient::Installed() tells the worker afterwards.
    static bool Split(const MonitorPolicy& policy);
};
