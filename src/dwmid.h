// The daemon's application object: start-up checks, settings display and signal handling.
#pragma once

#include <spdlog/spdlog.h>

#include <atomic>
#include <memory>

#include "ISocketCallback.h"
#include "LineManager.h"
#include "ServerSocket.h"
#include "SettingDatas.h"
#include "SharedMem.h"

namespace veldw485 {

class dwmid : public conn::ISocketCallback {
  public:
    dwmid();
    ~dwmid() override;
    dwmid(const dwmid&) = delete;
    dwmid& operator=(const dwmid&) = delete;

    // 1 success, -1 the configuration is refused (line and group counts differ, or items per
    // group outside 2..64).
    int Init();
    // 0 stopped on request, -1 a group could not be created, -2 the order port could not be
    // opened, -3 a "shut" order ended the service, -4 the order loop failed.
    int main();
    void Finish();
    // True after Finish (or the destructor) when a line worker did not end in time. It still
    // uses the objects of this application, so the process must end without destroying them.
    bool WorkersRemain() const { return _workersRemain; }
    std::string CallOrderFromLibrary(std::string order) override;
    std::string CallOrderFrom(int connection, std::string order) override;
    void ConnectionEnded(int connection) override;
    void ReceiveSignal(int signo);
    void DisplaySettingData();
    int Status() const { return _status; }

  private:
    void SetStatus(int status);
    // Detaches and removes every group that main reached. The group of a worker that still
    // runs is removed but stays attached, for the worker, until the process exits.
    void ReleaseGroups();

    int _status{0};
    data::SettingDatas* _sd{nullptr};
    std::shared_ptr<spdlog::logger> _logger;
    conn::ServerSocket _server;
    std::unique_ptr<shmem::SharedMem[]> _shmem;
    std::unique_ptr<line::LineManager> _lineManager;
    bool _workersRemain{false};
};

// Start-up state as the signal handler sees it, without touching the application object:
// kNoApp before the object exists and after it is gone, otherwise its _status.
inline constexpr int kNoApp = -100;
extern std::atomic<int> g_appState;
extern std::atomic<dwmid*> g_app;
// Signal number set by the handler once the service runs; 0 when none is pending.
extern std::atomic<int> g_pendingSignal;

}  // namespace veldw485
