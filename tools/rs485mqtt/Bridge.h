// The bridge: one thread per channel runs its cycles and publishes their results, the
// libmosquitto network thread keeps the broker connection, and the main thread republishes
// the latest state after every connection, moves between broker addresses, hands commands
// to the channels and publishes statistics, until SIGINT or SIGTERM.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "BridgeConfig.h"
#include "ChannelEvents.h"
#include "ChannelStats.h"
#include "ChannelThread.h"
#include "CommandHandler.h"
#include "LatestState.h"
#include "MqttPublisher.h"

namespace rs485mqtt {

class Bridge : public ChannelEvents {
  public:
    // Longest wait between two looks at the stop flag.
    static constexpr int kMaxWaitMs = 100;
    // How long the "offline" message may take to reach the broker at the end.
    static constexpr int kGoodbyeMs = 1000;

    explicit Bridge(const BridgeConfig& config);

    // Runs until SIGINT or SIGTERM; the exit status.
    int Run();

    void OnCycle(const CycleResult& result) override;
    void OnAvailability(int channel, bool up, const std::string& why) override;
    void OnMissedCycles(int channel, unsigned long count) override;
    void OnCommandFailed(const std::string& topic, const std::string& why) override;

  private:
    void _onConnected();
    void _publishStats();
    void _runCommands();
    void _publishError(const std::string& topic, const std::string& why);
    void _shutdown();
    ChannelThread* _channel(int channel);
    std::string _channelTopic(int channel, const std::string& leaf) const;

    const BridgeConfig& config_;
    const std::string status_topic_;
    const std::string error_topic_;
    MqttPublisher mqtt_;
    CommandHandler commands_;
    // Taken by every thread that updates what was published: publishing under it keeps the
    // latest state and the broker in the same order when the connection comes back.
    std::mutex mutex_;
    std::map<int, ChannelStats> stats_;
    LatestState latest_;
    std::vector<std::unique_ptr<ChannelThread>> channels_;
    int64_t next_stats_ms_{0};
    unsigned long dropped_seen_{0};
};

}  // namespace rs485mqtt
