// The parameters of one slave machine, as the daemon's line driver takes them.
#pragma once

#include <cstdint>

namespace rs485tools {

struct MachineParams {
    uint8_t ctrl_bit{3};   // 8N1
    short time_out{100};   // milliseconds of silence before a reply counts as timed out
    uint8_t delm_type{1};  // 1: no delimiter, silence ends the reply
    uint8_t len_after_delm{0};
    uint8_t wait_time{0};  // units of 4 ms before the request goes out
    // How the reply ends (RS485_REPLY_...: 0 delimiter or silence) and, for a fixed length,
    // its bytes.
    int reply_framing{0};
    int reply_length{0};
};

}  // namespace rs485tools
