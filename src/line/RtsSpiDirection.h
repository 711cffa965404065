// The tty's RTS line switches the transceiver; the channel's transceiver block inside the
// FPGA is programmed at every open by running the SPI tool.
#pragma once

#include <string>

#include "FixedPaths.h"
#include "SwitchedDirection.h"

namespace veldw485::line {

class RtsSpiDirection : public SwitchedDirection {
  public:
    static constexpr int kCommandOutputSize = 128;
    static constexpr char kFpgaDevice[] = RS485_FPGA_DEVICE;
    static constexpr char kSpiTool[] = RS485_SPI_TOOL;

    RtsSpiDirection(int channel, const DirectionSettings& settings)
        : SwitchedDirection(channel), _settings(settings) {}

    // Transmitter off before the port is set up.
    void BeforeOpen() override;
    int Open(int fd_tty, unsigned char baudrate) override;
    int Close() override;
    int SetBaud(unsigned char baudrate) override;
    int modeWrite() override;
    int modeRead() override;
    std::string Describe() const override;

    // One SPI-tool command each; the tool's wait status, or -1 when it could not be started.
    int setBaudRate(int channel, unsigned char baudrate);
    int recvEnable(int channel);
    int recvDisable(int channel);
    int txenOnSetting(int channel);
    int txenOffSetting(int channel);
    int _runSpiTool(const char* command, char* output);

  private:
    int _runRegisterCommand(const char* name, const std::string& value, int channel,
                            int reg_column);
    // Sets or clears RTS and traces the two ioctl results under label.
    int _setRts(bool on, const char* label);

    const DirectionSettings _settings;
    int _fdTty{-1};
};

}  // namespace veldw485::line
