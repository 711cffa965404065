// One machine's result of a cycle, copied out of the library's records.
#pragma once

#include <cstdint>
#include <vector>

namespace rs485tools {

struct MachineReply {
    int machine{0};  // 1-based
    uint8_t status{0};
    std::vector<uint8_t> data;
};

}  // namespace rs485tools
