// SIGINT and SIGTERM end a repeating run after the current cycle; a second signal ends the
// process at once (the first one restores the default action), for a cycle that hangs.
#pragma once

#include <ctime>

namespace rs485tools {

class SignalWatch {
  public:
    SignalWatch();
    ~SignalWatch();
    SignalWatch(const SignalWatch&) = delete;
    SignalWatch& operator=(const SignalWatch&) = delete;

    static bool Stopped();
    // Sleeps until the CLOCK_MONOTONIC time `until`; false when a stop signal came first.
    bool SleepUntil(const timespec& until) const;
};

}  // namespace rs485tools
