#include "SelfSwitchingDirection.h"

#include <algorithm>
#include <cstring>

#include "OutputDrain.h"
#include "ShmLayout.h"
#include "TextUtil.h"
#include "Trace.h"

namespace veldw485::line {

const char* SelfSwitchingDirection::EchoName() const {
    switch (_echo) {
        case EchoMode::kDiscard:
            return "discard";
        case EchoMode::kVerify:
            return "verify";
        case EchoMode::kNone:
            break;
    }
    return "none";
}

DirectionControl::SendOutcome SelfSwitchingDirection::AwaitSent(LinePort& port,
                                                                const unsigned char* data, int len,
                                                                short time_out) {
    SendOutcome outcome;
    int64_t waited = 0;
    outcome.sent = OutputDrain::Await(port, len, &waited);
    if (outcome.sent == Sent::kOk && _echo != EchoMode::kNone && len > 0) {
        int64_t echo_waited = 0;
        outcome.sent = _readEcho(port, data, len, time_out, &echo_waited);
        waited += echo_waited;
    }
    const int64_t on_line = static_cast<int64_t>(len) * port.CharTime() + DelaysUs();
    outcome.grace_us = std::max<int64_t>(on_line - waited, 0);
    return outcome;
}

DirectionControl::Sent SelfSwitchingDirection::_readEcho(LinePort& port, const unsigned char* data,
                                                         int len, short time_out,
                                                         int64_t* waited_us) {
    const int64_t bound =
        static_cast<int64_t>(OutputDrain::kBoundFactor) * (len + 1) * port.CharTime() + DelaysUs() +
        static_cast<int64_t>(std::max<short>(time_out, 0)) * 1000;
    unsigned char heard[vel::shm::kSendBufferSize] = {};
    int got = 0;
    while (got < len) {
        const int n = port.ReadInput(heard + got, len - got);
        if (n < 0) {
            VERROR(port.PortTag() << "STCOM: echo : Read error fd(tty)=" << port.PortFd());
            return Sent::kFailed;
        }
        got += n;
        if (got == len) {
            break;
        }
        if (*waited_us >= bound) {
            VERROR(port.PortTag() << "STCOM: echo : " << got << " of " << len
                                  << " bytes heard back fd(tty)=" << port.PortFd());
            return Sent::kFailed;
        }
        port.WaitOnLine(port.SleepTime());
        *waited_us += port.SleepTime();
    }
    if (_echo == EchoMode::kVerify &&
        std::memcmp(heard, data, static_cast<std::size_t>(len)) != 0) {
        VERROR(port.PortTag() << "STCOM: echo : collision : sent="
                              << vel::text::BytesToHex(data, static_cast<std::size_t>(len))
                              << " heard="
                              << vel::text::BytesToHex(heard, static_cast<std::size_t>(len)));
        return Sent::kFailed;
    }
    VTRACE(port.PortTag() << "STCOM: echo : " << len << " bytes " << EchoName());
    return Sent::kOk;
}

}  // namespace veldw485::line
