#include "MachineStats.h"

#include <algorithm>

#include <rs485.h>

namespace rs485tools {

void MachineStats::Record(uint8_t status, uint32_t cycle_us) {
    ++polls_;
    switch (status) {
        case RS485_STATUS_COMPLETE:
            ++replies_;
            break;
        case RS485_STATUS_TIMEOUT:
            ++timeouts_;
            break;
        case RS485_STATUS_NOT_POLLED:
            ++not_polled_;
            break;
        default:
            // A read error, or a machine left selected: it was not answered properly.
            ++errors_;
            break;
    }
    if (polls_ == 1 || cycle_us < min_us_) {
        min_us_ = cycle_us;
    }
    max_us_ = std::max(max_us_, cycle_us);
    if (window_.size() < kMedianWindow) {
        window_.push_back(cycle_us);
    } else {
        window_[next_] = cycle_us;
        next_ = (next_ + 1) % kMedianWindow;
    }
}

std::string MachineStats::StatusName(uint8_t status) {
    switch (status) {
        case RS485_STATUS_NOT_POLLED:
            return "not polled";
        case RS485_STATUS_SELECTED:
            return "selected";
        case RS485_STATUS_COMPLETE:
            return "complete";
        case RS485_STATUS_TIMEOUT:
            return "time-out";
        case RS485_STATUS_READ_ERROR:
            return "read error";
        default:
            return "status " + std::to_string(status);
    }
}

uint32_t MachineStats::MedianUs() const {
    if (window_.empty()) {
        return 0;
    }
    std::vector<uint32_t> sorted = window_;
    const std::size_t mid = sorted.size() / 2;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(mid),
                     sorted.end());
    if (sorted.size() % 2 == 1) {
        return sorted[mid];
    }
    const uint32_t upper = sorted[mid];
    const uint32_t lower =
        *std::max_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(mid));
    return lower + (upper - lower) / 2;
}

}  // namespace rs485tools
