#include "session/ZPacing.h"

#include <algorithm>

ZPace ZPacing::Decide(const ZPaceInput& in) {
    ZPace pace;
    pace.wait = in.nextDeadline;
    if (!in.pending) {
        return pace;
    }
    // Tick differences are unsigned, so a wrap of the counter is harmless.
    const DWORD quiet = in.pendingSince - in.lastExport;
    const DWORD elapsed = in.now - in.lastExport;
    pace.newBurst = quiet >= in.refreshDelay;
    if (in.urgent || in.typed || elapsed >= in.refreshDelay) {
        pace.exportNow = true;  // after it nothing is pending: wait for the deadline
        return pace;
    }
    pace.wait = std::min(in.refreshDelay - elapsed, in.nextDeadline);
    return pace;
}
