#include "ChannelStats.h"

namespace rs485mqtt {

void ChannelStats::RecordCycle(bool ok, uint32_t cycle_us,
                               const std::vector<rs485tools::MachineReply>& replies) {
    cycles_.Record(ok ? RS485_STATUS_COMPLETE : RS485_STATUS_READ_ERROR, cycle_us);
    for (const rs485tools::MachineReply& r : replies) {
        machines_[static_cast<std::size_t>(r.machine - 1)].Record(r.status, cycle_us);
    }
}

}  // namespace rs485mqtt
