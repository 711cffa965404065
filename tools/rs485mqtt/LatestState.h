// The latest published state of every polled machine and every channel's availability: what is
// republished when the broker comes back, and what publish-on-change compares with. One entry per
// configured machine, so the memory is bounded by the configuration whatever the broker does.
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
    // A channel's availability, "up" or "down".
    void SetStatus(int channel, const std::string& status) { statuses_[channel] = status; }
    // Calls visit(channel, status) for every channel whose availability is known.
    void ForEachStatus(const std::function<void(int, const std::string&)>& visit) const {
        for (const auto& entry : statuses_) {
            visit(entry.first, entry.second);
        }
    }

  private:
    struct Entry {
        uint8_t status{0};
        std::vector<uint8_t> data;
        std::string payload;
    };
    std::map<std::pair<int, int>, Entry> entries_;
    std::map<int, std::string> statuses_;
};

}  // namespace rs485mqtt
