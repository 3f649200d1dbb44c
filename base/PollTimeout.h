// The timeout poll(2) takes for a deadline: the milliseconds left, rounded up. Rounded
// down, a wait with less than a millisecond left would not wait at all, and a loop that
// waits for a deadline counted in whole milliseconds would spin through that last one.
#pragma once

#include <algorithm>
#include <chrono>

inline int PollTimeout(
    std::chrono::steady_clock::time_point deadline,
    std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now()) {
    if (deadline == std::chrono::steady_clock::time_point::max()) {
        return -1;  // no deadline
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 1000000));
}
