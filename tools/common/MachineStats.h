// Running statistics of one machine over repeated cycles.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace rs485tools {

class MachineStats {
  public:
    // The median is taken over this many most recent cycles, so that a run until SIGINT
    // keeps a bounded memory; minimum and maximum cover the whole run.
    static constexpr std::size_t kMedianWindow = 4096;

    // status: the machine's status after a cycle; cycle_us: duration of that cycle.
    void Record(uint8_t status, uint32_t cycle_us);

    // Status name: "complete", "time-out", "read error", "not polled", "selected", or
    // "status N" for any other value.
    static std::string StatusName(uint8_t status);

    unsigned long Polls() const { return polls_; }
    unsigned long Replies() const { return replies_; }
    unsigned long Timeouts() const { return timeouts_; }
    unsigned long Errors() const { return errors_; }
    unsigned long NotPolled() const { return not_polled_; }
    uint32_t MinUs() const { return min_us_; }
    uint32_t MaxUs() const { return max_us_; }
    uint32_t MedianUs() const;

  private:
    unsigned long polls_{0};
    unsigned long replies_{0};
    unsigned long timeouts_{0};
    unsigned long errors_{0};
    unsigned long not_polled_{0};
    uint32_t min_us_{0};
    uint32_t max_us_{0};
    std::vector<uint32_t> window_;
    std::size_t next_{0};
};

}  // namespace rs485tools
