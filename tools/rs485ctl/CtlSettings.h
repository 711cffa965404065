// Everything a run of rs485ctl does, as taken from the command line.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <rs485.h>

namespace rs485ctl {

// The five parameters of one machine, as the daemon's line driver takes them.
struct MachineParams {
    uint8_t ctrl_bit{3};   // 8N1
    short time_out{100};   // milliseconds of silence before a reply counts as timed out
    uint8_t delm_type{1};  // 1: no delimiter, silence ends the reply
    uint8_t len_after_delm{0};
    uint8_t wait_time{0};  // units of 4 ms before the request goes out
};

struct CtlSettings {
    int channel{1};
    int baud_index{3};
    bool sniffer{false};
    int machine_mask{0};
    std::array<MachineParams, RS485_MACHINE_COUNT> params{};
    // Requests by machine (index machine - 1); only machines with has_request get one.
    std::array<std::vector<uint8_t>, RS485_MACHINE_COUNT> requests{};
    std::array<bool, RS485_MACHINE_COUNT> has_request{};
    // 0 with an interval: until SIGINT or SIGTERM.
    long count{1};
    long interval_ms{0};
    bool json{false};
    bool trace{false};
};

}  // namespace rs485ctl
