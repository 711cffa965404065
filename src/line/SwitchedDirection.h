// The waits of a transceiver that user space switches: the direction may go back to receive
// only once the request's last bit is out, so after the write it waits the request's wire time
// and one character more, then for the output queue to drain, then 5 wait units.
#pragma once

#include "DirectionControl.h"

namespace veldw485::line {

class SwitchedDirection : public DirectionControl {
  public:
    static constexpr int kDrainWaitCount = 5;

    using DirectionControl::DirectionControl;
    SendOutcome AwaitSent(LinePort& port, const unsigned char* data, int len,
                          short time_out) override;
};

}  // namespace veldw485::line
