// The UART's own driver switches the transceiver (the kernel's RS-485 mode): the settings are
// handed to it at open, read back, and the ones in force before are restored at close.
#pragma once

#include <linux/serial.h>

#include <string>

#include "SelfSwitchingDirection.h"

namespace veldw485::line {

class KernelDirection : public SelfSwitchingDirection {
  public:
    // The flags this mode sets and checks; other flags are left cleared.
    static constexpr unsigned kManagedFlags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND |
                                              SER_RS485_RTS_AFTER_SEND | SER_RS485_RX_DURING_TX;

    KernelDirection(int channel, const DirectionSettings& settings)
        : SelfSwitchingDirection(channel, settings), _settings(settings) {}

    int Open(int fd_tty, unsigned char baudrate) override;
    int Close() override;
    std::string Describe() const override;

    // The settings this line asks the driver for.
    serial_rs485 Wanted() const;

  protected:
    int64_t DelaysUs() const override;

  private:
    const DirectionSettings _settings;
    int _fdTty{-1};
    serial_rs485 _saved{};
};

}  // namespace veldw485::line
