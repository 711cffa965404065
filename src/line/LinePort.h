// What a direction control uses of its line while a request goes out: the output queue, the
// line's schedule of waits, unread input and the line's character time.
#pragma once

#include <cstdint>
#include <string>

namespace veldw485::line {

class LinePort {
  public:
    virtual ~LinePort() = default;
    // The tty's descriptor, for trace lines.
    virtual int PortFd() const = 0;
    // "in thread [channel]: ", the start of the line's trace lines.
    virtual std::string PortTag() const = 0;
    // Character time of the baud table (11 bits) and the wait unit, microseconds.
    virtual int CharTime() const = 0;
    virtual int SleepTime() const = 0;
    // Bytes in the tty's output queue (TIOCOUTQ); the ioctl result.
    virtual int QueryOutput(int* queued) = 0;
    // Waits us microseconds on the line's schedule.
    virtual void WaitOnLine(int64_t us) = 0;
    // Reads what is waiting, at most max bytes: the count, 0 when nothing, -1 on error.
    virtual int ReadInput(unsigned char* buf, int max) = 0;
};

}  // namespace veldw485::line
