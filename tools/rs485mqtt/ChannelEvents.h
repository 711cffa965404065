// What a channel's thread reports to the bridge; called on that thread.
#pragma once

#include <string>
#include <vector>

#include "MachineReply.h"
#include "PayloadWriter.h"

namespace rs485mqtt {

struct CycleResult {
    CycleInfo info;
    std::vector<rs485tools::MachineReply> replies;  // the selected machines, in order
};

class ChannelEvents {
  public:
    virtual ~ChannelEvents() = default;
    // A cycle ran (also one in which machines did not answer).
    virtual void OnCycle(const CycleResult& result) = 0;
    // The channel turned up (a cycle ran) or down (why: it cannot be opened, or the daemon
    // is gone).
    virtual void OnAvailability(int channel, bool up, const std::string& why) = 0;
    // count cycles were due while the channel was down and could not run.
    virtual void OnMissedCycles(int channel, unsigned long count) = 0;
    // A command for the channel could not be carried out.
    virtual void OnCommandFailed(const std::string& topic, const std::string& why) = 0;
};

}  // namespace rs485mqtt
