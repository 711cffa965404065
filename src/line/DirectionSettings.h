// How one line switches its transceiver, as its configuration entry gives it.
#pragma once

#include <string>

namespace veldw485::line {

enum class DirectionMode { kRtsSpi, kGpioSysfs, kKernel, kAuto, kGpiod };

// What an adapter that hears its own transmission does with the request's bytes.
enum class EchoMode { kNone, kDiscard, kVerify };

struct DirectionSettings {
    DirectionMode mode{DirectionMode::kRtsSpi};
    // True when the mode came from "de_line" alone (no "direction" key).
    bool from_de_line{true};
    std::string de_line;
    // kernel: RTS level while sending, the driver's delays around a request, and whether the
    // receiver stays on while sending.
    bool rts_high_on_send{true};
    int delay_before_send_ms{0};
    int delay_after_send_ms{0};
    bool rx_during_tx{false};
    // kernel and auto.
    EchoMode echo{EchoMode::kNone};
    // gpiod: chip name or path, line offset or name, and the level that means transmit.
    std::string gpio_chip;
    std::string gpio_line;
    bool gpio_active_low{false};
};

}  // namespace veldw485::line
