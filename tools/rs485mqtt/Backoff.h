// Bounded exponential back-off: the delay before the next attempt starts at a minimum and
// doubles after every failed attempt up to a maximum; a success starts again from the minimum.
#pragma once

namespace rs485mqtt {

class Backoff {
  public:
    Backoff(long min_ms, long max_ms) : min_ms_(min_ms), max_ms_(max_ms), next_ms_(min_ms) {}

    // The delay before the next attempt, and doubles the one after it.
    long Next();
    void Reset() { next_ms_ = min_ms_; }

  private:
    long min_ms_;
    long max_ms_;
    long next_ms_;
};

}  // namespace rs485mqtt
