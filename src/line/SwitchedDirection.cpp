#include "SwitchedDirection.h"

#include "OutputDrain.h"

namespace veldw485::line {

DirectionControl::SendOutcome SwitchedDirection::AwaitSent(LinePort& port,
                                                           const unsigned char* /*data*/, int len,
                                                           short /*time_out*/) {
    SendOutcome outcome;
    if (len > 0) {
        port.WaitOnLine(static_cast<int64_t>(len + 1) * port.CharTime());
    }
    int64_t waited = 0;
    outcome.sent = OutputDrain::Await(port, len, &waited);
    if (outcome.sent == Sent::kOk) {
        port.WaitOnLine(static_cast<int64_t>(kDrainWaitCount) * port.SleepTime());
    }
    return outcome;
}

}  // namespace veldw485::line
