#include "Bridge.h"

#include <algorithm>

#include "BridgeLog.h"
#include "Clock.h"
#include "PayloadWriter.h"
#include "SignalWatch.h"

namespace rs485mqtt {

Bridge::Bridge(const BridgeConfig& config)
    : config_(config),
      status_topic_(config.Base() + "/status"),
      error_topic_(config.Base() + "/error"),
      commands_(config),
      reconnect_(config.broker.reconnect_min_ms, config.broker.reconnect_max_ms) {
    for (const ChannelSettings& c : config_.channels) {
        pollers_.push_back(std::make_unique<ChannelPoller>(c));
        stats_[c.channel] = ChannelStats();
    }
}

int Bridge::Run() {
    std::string error;
    if (!mqtt_.Init(config_.broker, config_.ClientId(), status_topic_, "offline", &error)) {
        BridgeLog::Error(error);
        return 1;
    }
    BridgeLog::Info("rs485mqtt: node \"" + config_.node + "\", broker " + config_.broker.host +
                    ":" + std::to_string(config_.broker.port) + ", " +
                    std::to_string(pollers_.size()) + " channel(s), topics under " +
                    config_.Base() + "/");
    next_stats_ms_ = MonotonicMs() + config_.statistics_interval_s * 1000;
    while (!rs485tools::SignalWatch::Stopped()) {
        _serviceBroker(MonotonicMs());
        for (const auto& poller : pollers_) {
            CycleResult result;
            if (poller->Step(MonotonicMs(), &result)) {
                _publishCycle(result);
            }
        }
        _runCommands();
        const int64_t now = MonotonicMs();
        if (config_.statistics_interval_s > 0 && now >= next_stats_ms_) {
            _publishStats();
            next_stats_ms_ = std::max(next_stats_ms_ + config_.statistics_interval_s * 1000, now);
        }
        mqtt_.Service(_waitMs(MonotonicMs()));
    }
    _shutdown();
    return 0;
}

void Bridge::_serviceBroker(int64_t now_ms) {
    std::string reason;
    if (mqtt_.TakeLost(&reason)) {
        const long delay = reconnect_.Next();
        next_connect_ms_ = now_ms + delay;
        BridgeLog::Warning("broker " + config_.broker.host + ":" +
                           std::to_string(config_.broker.port) + ": " + reason +
                           "; next attempt in " + std::to_string(delay) + " ms");
    }
    if (mqtt_.Down() && now_ms >= next_connect_ms_ && !mqtt_.Connect(&reason)) {
        const long delay = reconnect_.Next();
        next_connect_ms_ = now_ms + delay;
        BridgeLog::Warning("broker " + config_.broker.host + ":" +
                           std::to_string(config_.broker.port) + ": cannot connect (" + reason +
                           "); next attempt in " + std::to_string(delay) + " ms");
    }
    if (mqtt_.TakeConnected()) {
        _onConnected();
    }
}

void Bridge::_onConnected() {
    reconnect_.Reset();
    BridgeLog::Info("broker " + config_.broker.host + ":" + std::to_string(config_.broker.port) +
                    ": connected");
    // The broker handles the subscription first: whoever sees "online" may send commands.
    if (!mqtt_.Subscribe(commands_.Pattern())) {
        BridgeLog::Warning("cannot subscribe to " + commands_.Pattern());
    }
    mqtt_.Publish(status_topic_, "online", true);
    latest_.ForEach([this](int channel, int machine, const std::string& payload) {
        mqtt_.Publish(
            config_.Base() + "/" + std::to_string(channel) + "/" + std::to_string(machine), payload,
            false);
    });
}

void Bridge::_publishCycle(const CycleResult& result) {
    const int channel = result.info.channel;
    stats_[channel].RecordCycle(result.info.ok, result.info.cycle_us, result.replies);
    const std::string base = config_.Base() + "/" + std::to_string(channel) + "/";
    for (const rs485tools::MachineReply& reply : result.replies) {
        const std::string payload = PayloadWriter::Machine(result.info, reply);
        const bool changed = latest_.Update(channel, reply, payload);
        // While the broker is away nothing is handed over; the latest state goes out when
        // it is back.
        if (mqtt_.Connected() && (changed || !config_.publish_on_change)) {
            mqtt_.Publish(base + std::to_string(reply.machine), payload, false);
        }
    }
}

void Bridge::_publishStats() {
    const timespec now = WallClock();
    for (auto& entry : stats_) {
        // An interval that ends while the broker is away is not kept.
        mqtt_.Publish(
            config_.Base() + "/" + std::to_string(entry.first) + "/stats",
            PayloadWriter::Stats(entry.first, config_.statistics_interval_s, now, entry.second),
            false);
        entry.second.Clear();
    }
}

void Bridge::_runCommands() {
    if (mqtt_.DroppedMessages() != dropped_seen_) {
        BridgeLog::Warning("commands arrive faster than they run: " +
                           std::to_string(mqtt_.DroppedMessages() - dropped_seen_) + " dropped");
        dropped_seen_ = mqtt_.DroppedMessages();
    }
    for (const InboundMessage& in : mqtt_.TakeMessages()) {
        Command command;
        std::string why;
        if (!commands_.Parse(in.topic, in.payload, &command, &why)) {
            _publishError(in.topic, why);
            continue;
        }
        ChannelPoller* poller = _poller(command.channel);
        bool ok = true;
        switch (command.kind) {
            case Command::Kind::kRequest:
                ok = poller->SetRequest(command.machine, command.request, &why);
                break;
            case Command::Kind::kMask:
                ok = poller->SetMask(command.mask, &why);
                break;
            case Command::Kind::kCycleNow:
                poller->CycleNow();
                break;
        }
        if (ok) {
            BridgeLog::Info("command " + in.topic + " \"" + in.payload + "\" done");
        } else {
            _publishError(in.topic, why);
        }
    }
}

void Bridge::_publishError(const std::string& topic, const std::string& why) {
    BridgeLog::Warning("command " + topic + " refused: " + why);
    mqtt_.Publish(error_topic_, PayloadWriter::Error(topic, why, WallClock()), false);
}

int Bridge::_waitMs(int64_t now_ms) const {
    int64_t until = now_ms + kMaxWaitMs;
    for (const auto& poller : pollers_) {
        until = std::min(until, poller->NextDue());
    }
    if (mqtt_.Down()) {
        until = std::min(until, next_connect_ms_);
    }
    if (config_.statistics_interval_s > 0) {
        until = std::min(until, next_stats_ms_);
    }
    return static_cast<int>(std::max<int64_t>(0, until - now_ms));
}

void Bridge::_shutdown() {
    if (mqtt_.Connected()) {
        mqtt_.Publish(status_topic_, "offline", true);
        const int64_t end = MonotonicMs() + kGoodbyeMs;
        while (mqtt_.Connected() && !mqtt_.AllDelivered() && MonotonicMs() < end) {
            mqtt_.Service(10);
        }
        mqtt_.Disconnect();
    }
    for (const auto& poller : pollers_) {
        poller->Close();
    }
    BridgeLog::Info("rs485mqtt: stopped");
}

ChannelPoller* Bridge::_poller(int channel) {
    for (const auto& poller : pollers_) {
        if (poller->Channel() == channel) {
            return poller.get();
        }
    }
    return nullptr;
}

}  // namespace rs485mqtt
