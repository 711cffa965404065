// Executes the orders of the clients on the configured lines: field checks, use counts and
// the response words.
#pragma once

#include <spdlog/spdlog.h>

#include <memory>
#include <string>
#include <vector>

#include "LineConnector.h"
#include "SettingDatas.h"
#include "SharedMem.h"

namespace veldw485::line {

class LineManager {
  public:
    using Fields = std::vector<std::string>;

    explicit LineManager(shmem::SharedMem* shmem);
    virtual ~LineManager();
    LineManager(const LineManager&) = delete;
    LineManager& operator=(const LineManager&) = delete;

    int InitMutex();
    // conn: the order connection the order came on (LineConnector::kNoConnection when it is
    // not known); settings orders apply to the user registered on it.
    std::string OrderOpen(const Fields& fields, int& channel);
    std::string OrderClose(const Fields& fields, int conn = LineConnector::kNoConnection);
    std::string OrderPortParam(const Fields& fields, int conn = LineConnector::kNoConnection);
    std::string OrderComPort(const Fields& fields, int conn = LineConnector::kNoConnection);
    std::string OrderUser(const Fields& fields, int conn);
    std::string OrderUsers(const Fields& fields);
    // The connection ended: its users leave their channels.
    void ConnectionEnded(int conn);
    // frame,channel,mc_num,kind,length: "frsuc", "frerr", or "err1" when malformed.
    std::string OrderReplyFraming(const Fields& fields, int conn = LineConnector::kNoConnection);

    // Tells every worker to stop at once, then waits for all of them together, at most
    // kStopWaitMillis; true when none runs any more. A worker that still runs is let go
    // (detached), and the manager must then outlive it: it is never destroyed.
    bool StopWorkers();
    // True when the worker of the channel has ended (or there is none); never waits.
    bool WorkerEnded(int channel) const;

    static constexpr int kStopWaitMillis = 3000;

  private:
    bool CheckFieldCount(const Fields& fields, std::size_t count, const char* label);
    bool CheckChannel(int channel, const char* label);

    data::SettingDatas* _sd;
    std::shared_ptr<spdlog::logger> _logger;
    std::vector<std::unique_ptr<LineConnector>> _connectors;
    shmem::SharedMem* _shmem;
};

}  // namespace veldw485::line
