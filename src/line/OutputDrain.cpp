#include "OutputDrain.h"

#include "Trace.h"

namespace veldw485::line {

DirectionControl::Sent OutputDrain::Await(LinePort& port, int len, int64_t* waited_us) {
    using Sent = DirectionControl::Sent;
    *waited_us = 0;
    int queued = 0;
    if (port.QueryOutput(&queued) != 0) {
        VERROR(port.PortTag() << "STCOM: _stComWriteData : ioctl Error fd(tty)=" << port.PortFd());
        return Sent::kFailed;
    }
    VTRACE(port.PortTag() << "STCOM: _stComWriteData : ioctl 1 len=" << queued);
    const int64_t bound = static_cast<int64_t>(kBoundFactor) * (len + 1) * port.CharTime();
    while (queued > 0) {
        if (*waited_us >= bound) {
            VERROR(port.PortTag() << "STCOM: _stComWriteData : output queue not drained fd(tty)="
                                  << port.PortFd() << " len=" << queued);
            return Sent::kStuck;
        }
        const int64_t wait = static_cast<int64_t>(queued / 2 + 1) * port.SleepTime();
        port.WaitOnLine(wait);
        *waited_us += wait;
        if (port.QueryOutput(&queued) != 0) {
            VERROR(port.PortTag() << "STCOM: _stComWriteData : ioctl Error 2 fd(tty)="
                                  << port.PortFd());
            return Sent::kFailed;
        }
        VTRACE(port.PortTag() << "STCOM: _stComWriteData : ioctl 2 len=" << queued);
    }
    return Sent::kOk;
}

}  // namespace veldw485::line
