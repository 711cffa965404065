// One channel used through librs485; closes the channel when it goes out of scope.
#pragma once

#include <cstdint>
#include <vector>

#include "MachineParams.h"
#include "MachineReply.h"

namespace rs485tools {

class BusSession {
  public:
    explicit BusSession(int channel) : channel_(channel) {}
    ~BusSession();
    BusSession(const BusSession&) = delete;
    BusSession& operator=(const BusSession&) = delete;

    // pxa_rs485_open's result: 0, -1, -2 or -3.
    int Open(bool sniffer, int baud_index);
    // False when the daemon refused the machine's reply framing. A delimited machine sends
    // no framing order: it is what a channel starts with.
    bool SetParams(int machine, const MachineParams& p);
    bool SetMachines(int mask);
    bool Deposit(int machine, const std::vector<uint8_t>& request);
    bool RunCycle();
    // Copies of the replies of the machines in mask, in machine order.
    std::vector<MachineReply> Replies(int mask) const;

  private:
    int channel_;
    bool opened_{false};
};

}  // namespace rs485tools
