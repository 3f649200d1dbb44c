#include "session/ZPacing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Case {
    std::string name;
    ZPaceInput in;
    ZPace want;
};

ZPaceInput At(DWORD now, DWORD lastExport, bool pending, DWORD pendingSince, bool urgent,
              DWORD nextDeadline = INFINITE, bool typed = false) {
    ZPaceInput in;
    in.now = now;
    in.lastExport = lastExport;
    in.pending = pending;
    in.pendingSince = pendingSince;
    in.urgent = urgent;
    in.refreshDelay = 10;
    in.nextDeadline = nextDeadline;
    in.typed = typed;
    return in;
}

TEST(ZPacing, ExportsAtOnceAfterQuietAndAtMostOncePerDelayWhileOutputStreams) {
    const std::vector<Case> cases = {
        // Nothing pending: sleep until the deadline, or without limit.
        {"idle", At(5000, 1000, false, 0, false), {false, false, INFINITE}},
        {"idle until a deadline", At(5000, 1000, false, 0, false, 750), {false, false, 750}},
        // Quiet, then one change (a keystroke's echo): out at once, a new burst.
        {"lone change", At(5000, 1000, true, 5000, false), {true, true, INFINITE}},
        // A burst: the next change came 2 ms after an export; it waits the 8 ms left.
        {"burst, too soon", At(1002, 1000, true, 1002, false), {false, false, 8}},
        {"burst, due", At(1010, 1000, true, 1002, false), {true, false, INFINITE}},
        {"burst, overdue", At(1500, 1000, true, 1001, false, 40), {true, false, 40}},
        // The console holds output back for a capture: out at once, same burst.
        {"held output", At(1001, 1000, true, 1001, true), {true, false, INFINITE}},
        // Typing fast: each key's echo goes out at once, even right after an export.
        {"typed", At(1001, 1000, true, 1001, false, INFINITE, true), {true, false, INFINITE}},
        {"typed, no change yet",
         At(1001, 1000, false, 0, false, INFINITE, true),
         {false, false, INFINITE}},
        // A deadline before the next export shortens the wait.
        {"deadline first", At(1002, 1000, true, 1002, false, 3), {false, false, 3}},
        // The tick counter wraps after 49.7 days without harm.
        {"wrap", At(3, 0xFFFFFFFBu, true, 0xFFFFFFFEu, false), {false, false, 2}},
        {"wrap, due", At(8, 0xFFFFFFFEu, true, 0, false), {true, false, INFINITE}},
    };
    for (const Case& c : cases) {
        const ZPace got = ZPacing::Decide(c.in);
        EXPECT_EQ(got.exportNow, c.want.exportNow) << c.name;
        EXPECT_EQ(got.wait, c.want.wait) << c.name;
        if (got.exportNow) {
            EXPECT_EQ(got.newBurst, c.want.newBurst) << c.name;
        }
    }
}

}  // namespace
