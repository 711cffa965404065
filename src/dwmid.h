// The daemon's application object: start-up checks, settings display and signal handling.
#pragma once

#include <spdlog/spdlog.h>

#include <atomic>
#include <memory>

#include "SettingDatas.h"

namespace veldw485 {

class dwmid {
public:
    dwmid();
    virtual ~dwmid();
    dwmid(const dwmid&) = delete;
    dwmid& operator=(const dwmid&) = delete;

    // 1 success, -1 line and group counts differ.
    int Init();
    void ReceiveSignal(int signo);
    void DisplaySettingData();
    int Status() const { return _status; }

private:
    void SetStatus(int status);

    int _status{0};
    data::SettingDatas* _sd{nullptr};
    std::shared_ptr<spdlog::logger> _logger;
};

// Start-up state as the signal handler sees it, without touching the application object:
// kNoApp before the object exists and after it is gone, otherwise its _status.
inline constexpr int kNoApp = -100;
extern std::atomic<int> g_appState;
extern std::atomic<dwmid*> g_app;
// Signal number set by the handler once the service runs; 0 when none is pending.
extern std::atomic<int> g_pendingSignal;

}  // namespace veldw485
