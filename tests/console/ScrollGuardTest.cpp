// The scroll guard as a value: what it lets pass, when it asks for a capture, and where
// it follows the mark.
#include "console/ScrollGuard.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr ScrollGuard::Screen kScreen{300, 299};  // the window at the buffer's bottom
constexpr ScrollBound::Window kWindow{80, 25, 0};

TEST(ScrollGuard, WithoutAMarkEverythingPasses) {
    ScrollGuard guard;
    bool ask = true;
    const std::string lines(10000, '\n');
    EXPECT_EQ(guard.Take(lines, kScreen, kWindow, ask), lines.size());
    EXPECT_FALSE(ask);
    guard.Plant(400, 5, 300);  // outside the buffer: no mark
    EXPECT_EQ(guard.Row(), -2);
    EXPECT_EQ(guard.Take(lines, kScreen, kWindow, ask), lines.size());
}

TEST(ScrollGuard, OutputIsHeldBeforeTheMarkIsLostAndPassesAfterTheCapture) {
    ScrollGuard guard;
    guard.Plant(100, 8, 300);
    bool ask = false;
    const std::string lines = "a\nb\nc\nd\ne\nf\ng\nh\ni\nj\n";
    const std::size_t taken = guard.Take(lines, kScreen, kWindow, ask);
    EXPECT_EQ(taken, 17U) << "eight line feeds pass, not the ninth";
    EXPECT_TRUE(ask);
    EXPECT_TRUE(guard.CaptureWanted());
    guard.Scrolled(8, 0);
    EXPECT_EQ(guard.Row(), 92);
    EXPECT_EQ(guard.Take(lines.substr(taken), kScreen, kWindow, ask), 0U) << "held";
    EXPECT_FALSE(ask) << "asked once";

    EXPECT_TRUE(guard.Captured());
    EXPECT_FALSE(guard.Captured());
    guard.Plant(299, 8, 300);
    EXPECT_EQ(guard.Take(lines.substr(taken), kScreen, kWindow, ask), lines.size() - taken);
}

TEST(ScrollGuard, ASequenceNoFreshGuardCouldTakePassesAlone) {
    ScrollGuard guard;
    guard.Plant(299, 3, 300);
    bool ask = false;
    // Taken as the console takes it: in prefixes, until nothing more passes.
    const std::string_view output = "\x1b[20Sxy";
    std::size_t taken = 0;
    while (taken < output.size()) {
        const std::size_t n = guard.Take(output.substr(taken), kScreen, kWindow, ask);
        if (n == 0) {
            break;
        }
        taken += n;
    }
    EXPECT_EQ(taken, output.size());
}

TEST(ScrollGuard, TheMarkFollowsItsRowUntilItLeavesTheBuffer) {
    ScrollGuard guard;
    guard.Plant(10, 0, 300);
    guard.Scrolled(3, 1);  // the window moved one row down, the buffer two rows up
    EXPECT_EQ(guard.Row(), 8);
    guard.Scrolled(20, 0);
    EXPECT_EQ(guard.Row(), -1);
    guard.Plant(250, 0, 300);
    guard.Resized(200);
    EXPECT_EQ(guard.Row(), -1);
    // Lines that scrolled above the window and were then erased (ED 3) are nothing to
    // take: the mark's row becomes the window's top.
    guard.Plant(100, 0, 300);
    guard.Scrolled(2, 0);
    guard.Erased(100);
    EXPECT_EQ(guard.Row(), 100);
    guard.Erased(50);
    EXPECT_EQ(guard.Row(), 100) << "a mark below the erased rows stays";
}

}  // namespace
