// What a tty offers for the direction modes of dwmid's "direction" key: whether its driver
// takes the kernel's RS-485 settings, RTS control with the SPI tool, the GPIO interfaces, and
// whether it is a USB serial adapter (and its latency timer).
#pragma once

#include <cstdio>
#include <string>

namespace rs485ctl {

class DirectionProbe {
  public:
    // Writes one line per mode to out; kExitOk, or kExitRunFailed when the device cannot be
    // opened. The device is left as it was found.
    static int Run(const std::string& device, std::FILE* out);
};

}  // namespace rs485ctl
