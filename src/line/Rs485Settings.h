// The settings of one RS-485 channel, filled by the constructor and by every Open.
#pragma once

#include <termios.h>

namespace veldw485::line {

struct Rs485Settings {
    int channel{-1};           // 0..2; selects the transceiver register block
    int baudrate{-1};          // baud index 0..5
    int max_machine{0};        // a cycle visits machines 0 .. max_machine - 1
    unsigned char sniffer{0};  // non-zero: a cycle sends nothing
    speed_t speed{static_cast<speed_t>(-1)};
    int char_time{1055};   // pause unit after each write, microseconds
    int sleep_time{1000};  // poll and wait unit, microseconds
};

}  // namespace veldw485::line
