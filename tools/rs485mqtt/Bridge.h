// The bridge's loop on one thread: runs the channels' cycles when due, publishes their
// results, keeps the broker connection (reconnecting with back-off while it is away),
// executes checked commands and publishes statistics, until SIGINT or SIGTERM.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Backoff.h"
#include "BridgeConfig.h"
#include "ChannelPoller.h"
#include "ChannelStats.h"
#include "CommandHandler.h"
#include "LatestState.h"
#include "MqttPublisher.h"

namespace rs485mqtt {

class Bridge {
  public:
    // Longest wait between two looks at the stop flag.
    static constexpr int kMaxWaitMs = 100;
    // How long the "offline" message may take to reach the broker at the end.
    static constexpr int kGoodbyeMs = 1000;

    explicit Bridge(const BridgeConfig& config);

    // Runs until SIGINT or SIGTERM; the exit status.
    int Run();

  private:
    void _serviceBroker(int64_t now_ms);
    void _onConnected();
    void _publishCycle(const CycleResult& result);
    void _publishStats();
    void _runCommands();
    void _publishError(const std::string& topic, const std::string& why);
    int _waitMs(int64_t now_ms) const;
    void _shutdown();
    ChannelPoller* _poller(int channel);

    const BridgeConfig& config_;
    const std::string status_topic_;
    const std::string error_topic_;
    MqttPublisher mqtt_;
    CommandHandler commands_;
    std::vector<std::unique_ptr<ChannelPoller>> pollers_;
    std::map<int, ChannelStats> stats_;
    LatestState latest_;
    Backoff reconnect_;
    int64_t next_connect_ms_{0};
    int64_t next_stats_ms_{0};
    unsigned long dropped_seen_{0};
};

}  // namespace rs485mqtt
