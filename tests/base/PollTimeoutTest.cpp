#include "base/PollTimeout.h"

#include <gtest/gtest.h>

namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

TEST(PollTimeout, APartOfAMillisecondLeftIsWaitedFor) {
    const auto now = std::chrono::steady_clock::now();
    EXPECT_EQ(PollTimeout(now + microseconds(300), now), 1);
    EXPECT_EQ(PollTimeout(now + microseconds(1001), now), 2);
    EXPECT_EQ(PollTimeout(now + milliseconds(10), now), 10);
    EXPECT_EQ(PollTimeout(now, now), 0);
    EXPECT_EQ(PollTimeout(now - milliseconds(5), now), 0) << "a deadline passed";
    EXPECT_EQ(PollTimeout(std::chrono::steady_clock::time_point::max(), now), -1);
    EXPECT_EQ(PollTimeout(now + std::chrono::hours(1000), now), 1000000) << "at most";
}

}  // namespace
