// Statistics of one channel over one statistics interval: per machine the replies,
// time-outs and errors, the cycle time minimum, median and maximum, and the cycles that
// could not run.
#pragma once

#include <array>
#include <cstdint>

#include <rs485.h>

#include "MachineReply.h"
#include "MachineStats.h"

namespace rs485mqtt {

class ChannelStats {
  public:
    void RecordCycle(bool ok, uint32_t cycle_us,
                     const std::vector<rs485tools::MachineReply>& replies);
    // count cycles were due but could not run (the channel was down).
    void RecordMissed(unsigned long count) { missed_ += count; }
    unsigned long Missed() const { return missed_; }
    // Starts a new interval.
    void Clear() { *this = ChannelStats(); }

    // Cycles as polls, failed cycles as errors, and the cycle times.
    const rs485tools::MachineStats& Cycles() const { return cycles_; }
    // Machine m (1-based); machines never polled have no polls.
    const rs485tools::MachineStats& Machine(int m) const {
        return machines_[static_cast<std::size_t>(m - 1)];
    }

  private:
    rs485tools::MachineStats cycles_;
    unsigned long missed_{0};
    std::array<rs485tools::MachineStats, RS485_MACHINE_COUNT> machines_{};
};

}  // namespace rs485mqtt
