// The daemon's "dwmid" logger for unit tests of daemon classes, so that their log lines can be
// checked in /var/local/vellog/dwmid.log. Header only: it needs spdlog, which only the daemon
// tests link.
#pragma once

#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>

#include <cstddef>
#include <string>

#include "TestSupport.h"

namespace testsupport {

// Creates the logger once per process, as the daemon's start-up does.
inline void InstallDaemonLogger() {
    if (spdlog::get("dwmid")) {
        return;
    }
    spdlog::rotating_logger_mt("dwmid", kLogFile, 16 * 1024 * 1024, 2);
    spdlog::set_pattern("%Y-%m-%d %H:%M:%S %L : %v", spdlog::pattern_time_type::local);
}

// The log text written since the mark was taken.
class LogMark {
  public:
    LogMark() : offset_(ReadFile(kLogFile).size()) {}
    std::string Since() const {
        const std::string log = ReadFile(kLogFile);
        return log.size() > offset_ ? log.substr(offset_) : std::string();
    }
    bool WaitFor(const std::string& needle, int timeout_ms) const {
        return WaitUntil([&] { return Since().find(needle) != std::string::npos; }, timeout_ms);
    }

  private:
    std::size_t offset_;
};

}  // namespace testsupport
