#include "BridgeLog.h"

#include <cstdio>

namespace rs485mqtt {

void BridgeLog::Write(int priority, const std::string& text) {
    // One write per line, so that lines of a message never interleave with the library's
    // error lines on the same descriptor.
    const std::string line = "<" + std::to_string(priority) + ">" + text + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

}  // namespace rs485mqtt
