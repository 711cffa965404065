#include "LatestState.h"

namespace rs485mqtt {

bool LatestState::Update(int channel, const rs485tools::MachineReply& reply,
                         const std::string& payload) {
    const auto key = std::make_pair(channel, reply.machine);
    auto it = entries_.find(key);
    const bool changed =
        it == entries_.end() || it->second.status != reply.status || it->second.data != reply.data;
    Entry& e = entries_[key];
    e.status = reply.status;
    e.data = reply.data;
    e.payload = payload;
    return changed;
}

void LatestState::ForEach(const std::function<void(int, int, const std::string&)>& visit) const {
    for (const auto& entry : entries_) {
        visit(entry.first.first, entry.first.second, entry.second.payload);
    }
}

}  // namespace rs485mqtt
