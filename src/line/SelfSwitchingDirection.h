// The waits of a transceiver that the hardware switches (the UART's driver, a self-switching
// adapter): none of its own. The reply wait begins as soon as the output queue is empty, and
// the reply time-out counts from the end of the request's wire time. An adapter that hears
// its own transmission gives the request back first: its bytes are read and dropped, or
// compared with the request, where a difference is a collision on the bus.
#pragma once

#include "DirectionControl.h"

namespace veldw485::line {

class SelfSwitchingDirection : public DirectionControl {
  public:
    SelfSwitchingDirection(int channel, const DirectionSettings& settings)
        : DirectionControl(channel), _echo(settings.echo) {}

    // No flow control: nothing on a half-duplex bus drives CTS, and a line left floating
    // would hold the output for ever.
    bool FlowControl() const override { return false; }
    int modeWrite() override { return 0; }
    int modeRead() override { return 0; }
    SendOutcome AwaitSent(LinePort& port, const unsigned char* data, int len,
                          short time_out) override;

  protected:
    // Time the hardware keeps the transmitter on around the request's bytes.
    virtual int64_t DelaysUs() const { return 0; }
    const char* EchoName() const;

  private:
    // Reads the len bytes of the echo within the wire bound plus the machine's time-out.
    Sent _readEcho(LinePort& port, const unsigned char* data, int len, short time_out,
                   int64_t* waited_us);

    const EchoMode _echo;
};

}  // namespace veldw485::line
