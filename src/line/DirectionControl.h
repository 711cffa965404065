// Switching the bus transceiver between transmit and receive: one implementation per kind of
// hardware, each with the waits that its kind needs around a request.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "DirectionSettings.h"
#include "LinePort.h"

namespace veldw485::line {

class DirectionControl {
  public:
    // How a request left the line. kStuck: the output queue did not drain within its bound
    // (the caller discards it); kFailed: a query failed or the echo was not the request.
    enum class Sent { kOk, kFailed, kStuck };
    struct SendOutcome {
        Sent sent{Sent::kOk};
        // Time the request still spends on the line when the reply wait begins; the reply
        // time-out starts after it.
        int64_t grace_us{0};
    };

    // The control of the settings' mode for line channel.
    static std::unique_ptr<DirectionControl> Create(const DirectionSettings& settings, int channel);

    explicit DirectionControl(int channel) : _channel(channel) {}
    virtual ~DirectionControl() = default;
    DirectionControl(const DirectionControl&) = delete;
    DirectionControl& operator=(const DirectionControl&) = delete;

    // Before the tty is opened.
    virtual void BeforeOpen() {}
    // Whether the tty keeps hardware flow control (CRTSCTS) set at open.
    virtual bool FlowControl() const { return true; }
    // The tty is open with its attributes set. 0 ready; -1 refused, Failure() says why (empty
    // when the reason has been written to standard error).
    virtual int Open(int fd_tty, unsigned char baudrate) = 0;
    // The tty is still open. 0, or bit value 1 when releasing the control failed.
    virtual int Close() = 0;
    // The line changes speed between two cycles (clients of one line may use different
    // ones): hardware that needs to know is told here. 0, or -1 when it could not be told.
    virtual int SetBaud(unsigned char /*baudrate*/) { return 0; }
    // Transceiver to transmit, to receive; callers ignore the results.
    virtual int modeWrite() = 0;
    virtual int modeRead() = 0;
    // After the len bytes of data were written: waits as this kind of hardware needs until
    // the request has left the line and the reply can come. time_out: the machine's.
    virtual SendOutcome AwaitSent(LinePort& port, const unsigned char* data, int len,
                                  short time_out) = 0;
    // For the log line of an open.
    virtual std::string Describe() const = 0;

    const std::string& Failure() const { return _failure; }

  protected:
    std::string Tag() const;

    const int _channel;
    std::string _failure;
};

}  // namespace veldw485::line
