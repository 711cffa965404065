#include "SimLog.h"

#include <fmt/chrono.h>
#include <fmt/format.h>
#include <fmt/ranges.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <vector>

namespace rs485sim {

SimLog::~SimLog() {
    if (owned_) {
        std::fclose(out_);
    }
}

bool SimLog::Open(const std::string& path) {
    if (path.empty()) {
        return true;
    }
    std::FILE* f = std::fopen(path.c_str(), "a");
    if (f == nullptr) {
        return false;
    }
    out_ = f;
    owned_ = true;
    return true;
}

void SimLog::Line(const std::string& text) {
    using std::chrono::system_clock;
    const system_clock::time_point now = system_clock::now();
    const std::time_t secs = system_clock::to_time_t(now);
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
        now - system_clock::from_time_t(secs));
    std::tm local{};
    ::localtime_r(&secs, &local);
    fmt::print(out_, "{:%Y-%m-%d %H:%M:%S}.{:06} {}\n", local, us.count(), text);
    std::fflush(out_);
}

std::string HexBytes(const std::string& bytes) {
    const std::vector<uint8_t> values(bytes.begin(), bytes.end());
    return fmt::format("{:02X}", fmt::join(values, " "));
}

}  // namespace rs485sim
