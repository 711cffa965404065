// The latest published state of every polled machine: what is republished when the broker
// comes back, and what publish-on-change compares with. One entry per configured machine,
// so the memory is bounded by the configuration whatever the broker does.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "MachineReply.h"

namespace rs485mqtt {

class LatestState {
  public:
    // Stores the machine's payload; true when status or reply differ from the entry before
    // (or there was none).
    bool Update(int channel, const rs485tools::MachineReply& reply, const std::string& payload);
    // Calls visit(channel, machine, payload) for every entry, in channel and machine order.
    void ForEach(const std::function<void(int, int, const std::string&)>& visit) const;

  private:
    struct Entry {
        uint8_t status{0};
        std::vector<uint8_t> data;
        std::string payload;
    };
    std::map<std::pair<int, int>, Entry> entries_;
};

}  // namespace rs485mqtt
