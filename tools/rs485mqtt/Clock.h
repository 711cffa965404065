// Time readings of the bridge. Monotonic milliseconds are 64-bit so that they do not wrap on
// the 32-bit target.
#pragma once

#include <cstdint>
#include <ctime>

namespace rs485mqtt {

inline int64_t MonotonicMs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

inline int64_t MonotonicUs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

inline timespec WallClock() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return t;
}

}  // namespace rs485mqtt
