// The daemon's one way to write a log line: VLOG_INFO(logger, "[{}:{}] text {}", value).
// The "[{}:{}]" prefix is filled with the source base name and line; the logger is flushed
// after every message so the file stays current if the process is killed.
#pragma once

#include <spdlog/spdlog.h>

#include <memory>
#include <utility>

#include "Trace.h"

namespace veldw485 {

inline constexpr char kLoggerName[] = "dwmid";

std::shared_ptr<spdlog::logger> GetLogger();

// A log file that fails (read-only directory, full disk) makes the rotating sink sleep and
// retry on every message; the handler pauses logging for a while instead, so orders are
// still answered on time.
void InstallLogErrorHandler(const std::shared_ptr<spdlog::logger>& logger);
bool LogPaused();

template <typename... Args>
void LogAt(const std::shared_ptr<spdlog::logger>& logger, spdlog::level::level_enum level,
           const char* file, int line, spdlog::format_string_t<const char*, int, Args...> format,
           Args&&... args) {
    if (!logger || LogPaused()) {
        return;
    }
    try {
        logger->log(level, format, vel::BaseName(file), line, std::forward<Args>(args)...);
        logger->flush();
    } catch (...) {
        // A full disk must not take the daemon down; the sink reports nothing more.
    }
}

template <typename... Args>
void LogPlain(const std::shared_ptr<spdlog::logger>& logger, spdlog::level::level_enum level,
              spdlog::format_string_t<Args...> format, Args&&... args) {
    if (!logger || LogPaused()) {
        return;
    }
    try {
        logger->log(level, format, std::forward<Args>(args)...);
        logger->flush();
    } catch (...) {
    }
}

}  // namespace veldw485

#define VLOG_INFO(logger, ...) \
    ::veldw485::LogAt(logger, spdlog::level::info, __FILE__, __LINE__, __VA_ARGS__)
#define VLOG_WARN(logger, ...) \
    ::veldw485::LogAt(logger, spdlog::level::warn, __FILE__, __LINE__, __VA_ARGS__)
#define VLOG_ERROR(logger, ...) \
    ::veldw485::LogAt(logger, spdlog::level::err, __FILE__, __LINE__, __VA_ARGS__)
// Separator and settings-display lines carry no source prefix.
#define VLOG_PLAIN(logger, ...) ::veldw485::LogPlain(logger, spdlog::level::info, __VA_ARGS__)
