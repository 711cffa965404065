// Waits until the tty's output queue is empty, within a bound: a queue that does not drain (a
// UART whose CTS is never asserted) fails the transaction instead of holding the line.
#pragma once

#include <cstdint>

#include "DirectionControl.h"
#include "LinePort.h"

namespace veldw485::line {

class OutputDrain {
  public:
    // The queue must drain within this many times the request's wire time, (len + 1)
    // character times.
    static constexpr int kBoundFactor = 4;

    // Polls the queue, waiting (q / 2 + 1) wait units while q bytes are queued. *waited_us
    // receives the time waited.
    static DirectionControl::Sent Await(LinePort& port, int len, int64_t* waited_us);
};

}  // namespace veldw485::line
