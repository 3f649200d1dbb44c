// When the session exports the screen and how long it may then wait: a pure function of
// the times involved, so that tests drive it without a clock. A change after a quiet
// spell goes out at once, and so does the first change after client input was handled
// (the echo of what the user types); while output streams, exports are at least
// refresh_delay apart, so the bytes sent are bounded by screens, not by output.
#pragma once

#include "win32/Win32.h"

struct ZPaceInput {
    DWORD now = 0;                  // tick count
    DWORD lastExport = 0;           // tick of the last export
    bool pending = false;           // the console changed since the last export
    DWORD pendingSince = 0;         // tick at which that change was first seen
    bool urgent = false;            // the console holds output back until the next capture
    bool typed = false;             // client input was handled since the last export
    DWORD refreshDelay = 0;         // least milliseconds between two exports while output streams
    DWORD nextDeadline = INFINITE;  // milliseconds from now to the nearest deadline
};

struct ZPace {
    bool exportNow = false;
    // The change came after the last export had been quiet for refreshDelay: a new burst
    // of output begins.
    bool newBurst = false;
    // How long to wait for the next event after acting (INFINITE: no limit).
    DWORD wait = INFINITE;
};

class ZPacing {
  public:
    static ZPace Decide(const ZPaceInput& in);
};
