// The latency timer of a USB serial adapter: the adapter holds received bytes for up to that
// long before it hands them to the host, so every reply comes that much later.
#pragma once

#include <string>

namespace veldw485::line {

class UsbSerialLatency {
  public:
    static constexpr char kDevicesDir[] = "/sys/bus/usb-serial/devices";
    // Timers above this are worth a warning.
    static constexpr int kWarnAboveMs = 1;

    // The latency timer in milliseconds of the adapter behind device (a link is followed),
    // or -1 when the device is no USB serial adapter with such a timer.
    static int Millis(const std::string& device, const std::string& devices_dir = kDevicesDir);
};

}  // namespace veldw485::line
