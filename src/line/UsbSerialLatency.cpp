#include "UsbSerialLatency.h"

#include <filesystem>
#include <fstream>

namespace veldw485::line {

int UsbSerialLatency::Millis(const std::string& device, const std::string& devices_dir) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path real = fs::canonical(device, ec);
    if (ec) {
        return -1;
    }
    std::ifstream in(fs::path(devices_dir) / real.filename() / "latency_timer");
    int ms = -1;
    if (!(in >> ms) || ms < 0) {
        return -1;
    }
    return ms;
}

}  // namespace veldw485::line
