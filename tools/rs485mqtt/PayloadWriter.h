// The JSON payloads the bridge publishes: one machine's result of a cycle, a channel's
// statistics and the answer to a refused command.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "ChannelStats.h"
#include "MachineReply.h"

namespace rs485mqtt {

struct CycleInfo {
    int channel{1};
    bool ok{false};        // the daemon reported the cycle as successful
    timespec end{};        // CLOCK_REALTIME at the end of the cycle
    uint32_t cycle_us{0};  // duration of the cycle
};

class PayloadWriter {
  public:
    // The members of rs485tools::ReplyJson with "channel", "time", "cycle_us", "cycle_ok".
    static std::string Machine(const CycleInfo& cycle, const rs485tools::MachineReply& reply);
    // {"channel", "interval_s", "time", "cycles", "failed_cycles", "missed_cycles",
    //  "cycle_us": {"min",
    //  "median", "max"}, "machines": {"<m>": {"polls", "replies", "timeouts", "errors"}}}
    static std::string Stats(int channel, long interval_s, const timespec& now,
                             const ChannelStats& stats);
    // {"topic", "error", "time"}
    static std::string Error(const std::string& topic, const std::string& reason,
                             const timespec& now);
    // "2024-05-01T12:00:00.123456Z"
    static std::string Time(const timespec& t);
};

}  // namespace rs485mqtt
