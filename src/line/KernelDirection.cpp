#include "KernelDirection.h"

#include <sys/ioctl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Trace.h"

namespace veldw485::line {

namespace {

std::string Text(const serial_rs485& s) {
    char text[96];
    std::snprintf(text, sizeof(text), "flags=0x%02x delays %u/%u ms", s.flags & 0xffU,
                  s.delay_rts_before_send, s.delay_rts_after_send);
    return text;
}

}  // namespace

serial_rs485 KernelDirection::Wanted() const {
    serial_rs485 want{};
    want.flags = SER_RS485_ENABLED |
                 (_settings.rts_high_on_send ? SER_RS485_RTS_ON_SEND : SER_RS485_RTS_AFTER_SEND) |
                 (_settings.rx_during_tx ? SER_RS485_RX_DURING_TX : 0U);
    want.delay_rts_before_send = static_cast<__u32>(_settings.delay_before_send_ms);
    want.delay_rts_after_send = static_cast<__u32>(_settings.delay_after_send_ms);
    return want;
}

int KernelDirection::Open(int fd_tty, unsigned char /*baudrate*/) {
    serial_rs485 before{};
    if (::ioctl(fd_tty, TIOCGRS485, &before) != 0) {
        _failure =
            std::string("the driver has no RS-485 mode (TIOCGRS485: ") + std::strerror(errno) + ")";
        return -1;
    }
    serial_rs485 want = Wanted();
    if (::ioctl(fd_tty, TIOCSRS485, &want) != 0) {
        _failure = std::string("the driver refused the RS-485 settings (TIOCSRS485: ") +
                   std::strerror(errno) + ")";
        return -1;
    }
    // The driver clears what its hardware cannot do and clamps the delays without failing
    // the call: only the read-back tells.
    serial_rs485 got{};
    const bool read_back = ::ioctl(fd_tty, TIOCGRS485, &got) == 0;
    want = Wanted();
    if (!read_back || (got.flags & kManagedFlags) != want.flags ||
        got.delay_rts_before_send != want.delay_rts_before_send ||
        got.delay_rts_after_send != want.delay_rts_after_send) {
        (void)::ioctl(fd_tty, TIOCSRS485, &before);
        _failure = "the driver changed the RS-485 settings: asked " + Text(want) + ", got " +
                   (read_back ? Text(got) : std::string("nothing (TIOCGRS485 failed)"));
        return -1;
    }
    _fdTty = fd_tty;
    _saved = before;
    VTRACE(Tag() << "RS-485: Open kernel RS-485 mode: " << Text(got) << " (before: " << Text(before)
                 << ")");
    return 0;
}

int KernelDirection::Close() {
    if (_fdTty < 0) {
        return 0;
    }
    int result = 0;
    if (::ioctl(_fdTty, TIOCSRS485, &_saved) != 0) {
        VERROR(Tag() << "RS-485: Close error: RS-485 settings not restored: "
                     << std::strerror(errno));
        result = 1;
    }
    _fdTty = -1;
    return result;
}

std::string KernelDirection::Describe() const {
    return std::string("kernel RS-485 mode, RTS ") + (_settings.rts_high_on_send ? "high" : "low") +
           " on send, delays " + std::to_string(_settings.delay_before_send_ms) + "/" +
           std::to_string(_settings.delay_after_send_ms) + " ms, echo " + EchoName();
}

int64_t KernelDirection::DelaysUs() const {
    return static_cast<int64_t>(_settings.delay_before_send_ms + _settings.delay_after_send_ms) *
           1000;
}

}  // namespace veldw485::line
