// One slave machine of an RS-485 line as the polling cycle sees it.
#pragma once

#include <cstdint>

namespace veldw485::line {

// How the end of a machine's reply is found.
enum class ReplyFraming : unsigned char {
    // The delimiter or the silence rules of delm_type and len_after_delm.
    kDelimited = 0,
    // The reply ends with its reply_length-th byte.
    kLength = 1,
    // A Modbus RTU frame: the length follows from its function code, the CRC is checked.
    kModbusRtu = 2,
};

struct Rs485Machine {
    // Character format: bits 0-1 data bits (5..8), 8 two stop bits, 16 parity, 32 odd parity.
    unsigned char ctrl_bit{0xff};
    // Longest silence tolerated while waiting for the reply, in milliseconds.
    short time_out{1};
    // Byte value that ends a reply; 1 means the reply ends after a silence.
    unsigned char delm_type{1};
    // Bytes that follow the delimiter.
    unsigned char len_after_delm{0};
    // Wait before sending the request, in units of 4 ms.
    unsigned char wait_time{0};
    // Selection before a cycle (0, 1) and status after it (2, 4, 24).
    unsigned char com_flag{0};
    // Set by its own order; a "port" order leaves both as they are.
    ReplyFraming reply_framing{ReplyFraming::kDelimited};
    // Bytes of the reply with ReplyFraming::kLength, 1..436.
    uint16_t reply_length{0};
};

}  // namespace veldw485::line
