// Writes cycle results, statistics and errors as text for people or as JSON lines for
// scripts.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "MachineReply.h"
#include "MachineStats.h"

namespace rs485ctl {

using rs485tools::MachineReply;
using rs485tools::MachineStats;

class ReportWriter {
  public:
    // out stays owned by the caller. running: print running statistics with every cycle.
    ReportWriter(std::FILE* out, bool json, bool running)
        : out_(out), json_(json), running_(running) {}

    // stats is indexed by machine - 1.
    void Cycle(unsigned long number, bool ok, uint32_t cycle_us,
               const std::vector<MachineReply>& replies, const std::vector<MachineStats>& stats);
    // mask selects the machines to list (bit m-1 for machine m).
    void Summary(unsigned long cycles, unsigned long failed, int mask,
                 const std::vector<MachineStats>& stats);
    // Failure before or between cycles; the text also goes to stderr in text mode.
    void Error(int exit_code, const std::string& message);

  private:
    void _emit(const std::string& line);

    std::FILE* out_;
    bool json_;
    bool running_;
};

}  // namespace rs485ctl
