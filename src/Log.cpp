#include "Log.h"

#include <atomic>
#include <chrono>
#include <cstdio>

namespace veldw485 {

namespace {
constexpr std::chrono::seconds kPauseAfterError{10};
// Steady-clock milliseconds until which nothing is logged.
std::atomic<long long> g_pausedUntil{0};

long long NowMillis() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
}  // namespace

std::shared_ptr<spdlog::logger> GetLogger() {
    try {
        return spdlog::get(kLoggerName);
    } catch (...) {
        return nullptr;
    }
}

bool LogPaused() {
    const long long until = g_pausedUntil.load(std::memory_order_relaxed);
    return until != 0 && NowMillis() < until;
}

void InstallLogErrorHandler(const std::shared_ptr<spdlog::logger>& logger) {
    logger->set_error_handler([](const std::string& message) {
        g_pausedUntil.store(
            NowMillis() +
                std::chrono::duration_cast<std::chrono::milliseconds>(kPauseAfterError).count(),
            std::memory_order_relaxed);
        std::fprintf(stderr, "dwmid: log file error: %s; logging paused for %lld s\n",
                     message.c_str(), static_cast<long long>(kPauseAfterError.count()));
    });
}

}  // namespace veldw485
