// GPIO 86 through the sysfs GPIO files switches the transceiver ("1" transmit, "0" receive).
// Every line in this mode drives the same GPIO.
#pragma once

#include <string>

#include "SwitchedDirection.h"

namespace veldw485::line {

class GpioSysfsDirection : public SwitchedDirection {
  public:
    GpioSysfsDirection(int channel, const DirectionSettings& settings)
        : SwitchedDirection(channel), _settings(settings) {}
    ~GpioSysfsDirection() override;
    GpioSysfsDirection(const GpioSysfsDirection&) = delete;
    GpioSysfsDirection& operator=(const GpioSysfsDirection&) = delete;

    int Open(int fd_tty, unsigned char baudrate) override;
    int Close() override;
    int modeWrite() override;
    int modeRead() override;
    std::string Describe() const override;

    // Exports GPIO 86 as an output and opens its value file; the descriptor or negative.
    int _openDeLine();
    int FdDe() const { return _fdDe; }

  private:
    const DirectionSettings _settings;
    int _fdDe{-1};
};

}  // namespace veldw485::line
