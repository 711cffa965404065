// Everything a run of rs485ctl does, as taken from the command line.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <rs485.h>

#include "MachineParams.h"

namespace rs485ctl {

using rs485tools::MachineParams;

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
    // --probe-direction: report the direction modes of this tty and do nothing else.
    std::string probe_device;
    // --users: list the processes that use the channel and do nothing else.
    bool users{false};
};

}  // namespace rs485ctl
