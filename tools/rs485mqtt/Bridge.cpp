#include "Bridge.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "BridgeLog.h"
#include "Clock.h"
#include "PayloadWriter.h"
#include "SignalWatch.h"

namespace rs485mqtt {

Bridge::Bridge(const BridgeConfig& config)
    : config_(config),
      status_topic_(config.Base() + "/status"),
      error_topic_(config.Base() + "/error"),
      commands_(config) {
    for (const ChannelSettings& c : config_.channels) {
        stats_[c.channel] = ChannelStats();
        channels_.push_back(std::make_unique<ChannelThread>(c, this));
    }
}

std::string Bridge::_channelTopic(int channel, const std::string& leaf) const {
    return config_.Base() + "/" + std::to_string(channel) + "/" + leaf;
}

int Bridge::Run() {
    std::string error;
    if (!mqtt_.Start(config_.broker, config_.ClientId(), status_topic_, "offline",
                     commands_.Pattern(), &error)) {
        BridgeLog::Error(error);
        return 1;
    }
    std::string brokers;
    for (const BrokerAddress& a : config_.broker.addresses) {
        brokers += (brokers.empty() ? "" : ", ") + a.Text();
    }
    BridgeLog::Info("rs485mqtt: node \"" + config_.node + "\", broker " + brokers + ", " +
                    std::to_string(channels_.size()) + " channel(s), topics under " +
                    config_.Base() + "/");
    for (const auto& channel : channels_) {
        channel->Start();
    }
    next_stats_ms_ = MonotonicMs() + config_.statistics_interval_s * 1000;
    while (!rs485tools::SignalWatch::Stopped()) {
        int64_t now = MonotonicMs();
        int64_t until = now + kMaxWaitMs;
        if (config_.statistics_interval_s > 0) {
            until = std::min(until, next_stats_ms_);
        }
        mqtt_.Wait(static_cast<int>(std::max<int64_t>(0, until - now)));
        std::string reason;
        if (mqtt_.TakeLost(&reason)) {
            BridgeLog::Warning("broker " + mqtt_.Address().Text() + ": " + reason +
                               "; libmosquitto connects again");
        }
        if (mqtt_.TakeConnected()) {
            _onConnected();
        }
        const std::string before = mqtt_.Address().Text();
        if (mqtt_.Supervise(MonotonicMs())) {
            BridgeLog::Warning("broker " + before + ": no connection for " +
                               std::to_string(mqtt_.TurnMs() / 1000) + " s; trying " +
                               mqtt_.Address().Text());
        }
        _runCommands();
        now = MonotonicMs();
        if (config_.statistics_interval_s > 0 && now >= next_stats_ms_) {
            _publishStats();
            next_stats_ms_ = std::max(next_stats_ms_ + config_.statistics_interval_s * 1000, now);
        }
    }
    _shutdown();
    return 0;
}

void Bridge::_onConnected() {
    BridgeLog::Info("broker " + mqtt_.Address().Text() + ": connected");
    const std::lock_guard<std::mutex> lock(mutex_);
    mqtt_.Publish(status_topic_, "online", true);
    latest_.ForEachStatus([this](int channel, const std::string& status) {
        mqtt_.Publish(_channelTopic(channel, "status"), status, true);
    });
    latest_.ForEach([this](int channel, int machine, const std::string& payload) {
        mqtt_.Publish(_channelTopic(channel, std::to_string(machine)), payload, false);
    });
}

void Bridge::OnCycle(const CycleResult& result) {
    const int channel = result.info.channel;
    const std::lock_guard<std::mutex> lock(mutex_);
    stats_[channel].RecordCycle(result.info.ok, result.info.cycle_us, result.replies);
    for (const rs485tools::MachineReply& reply : result.replies) {
        const std::string payload = PayloadWriter::Machine(result.info, reply);
        const bool changed = latest_.Update(channel, reply, payload);
        // While the broker is away nothing is handed over; the latest state goes out when
        // it is back.
        if (changed || !config_.publish_on_change) {
            mqtt_.Publish(_channelTopic(channel, std::to_string(reply.machine)), payload, false);
        }
    }
}

void Bridge::OnAvailability(int channel, bool up, const std::string& why) {
    const std::string status = up ? "up" : "down";
    if (up) {
        BridgeLog::Info("channel " + std::to_string(channel) + ": up");
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    latest_.SetStatus(channel, status);
    mqtt_.Publish(_channelTopic(channel, "status"), status, true);
    if (!up) {
        mqtt_.Publish(error_topic_,
                      PayloadWriter::Error(_channelTopic(channel, "status"), why, WallClock()),
                      false);
    }
}

void Bridge::OnMissedCycles(int channel, unsigned long count) {
    const std::lock_guard<std::mutex> lock(mutex_);
    stats_[channel].RecordMissed(count);
}

void Bridge::OnCommandFailed(const std::string& topic, const std::string& why) {
    _publishError(topic, why);
}

void Bridge::_publishStats() {
    const timespec now = WallClock();
    const std::lock_guard<std::mutex> lock(mutex_);
    for (auto& entry : stats_) {
        // An interval that ends while the broker is away is not kept.
        mqtt_.Publish(
            _channelTopic(entry.first, "stats"),
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
        } else if (!_channel(command.channel)->Post(command, in.topic)) {
            _publishError(in.topic, "the channel's commands queue is full (its line is slow)");
        }
    }
}

void Bridge::_publishError(const std::string& topic, const std::string& why) {
    BridgeLog::Warning("command " + topic + " refused: " + why);
    mqtt_.Publish(error_topic_, PayloadWriter::Error(topic, why, WallClock()), false);
}

void Bridge::_shutdown() {
    for (const auto& channel : channels_) {
        channel->Stop();
    }
    if (mqtt_.Connected()) {
        mqtt_.Publish(status_topic_, "offline", true);
        const int64_t end = MonotonicMs() + kGoodbyeMs;
        while (mqtt_.Connected() && !mqtt_.AllDelivered() && MonotonicMs() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    mqtt_.Stop();
    BridgeLog::Info("rs485mqtt: stopped");
}

ChannelThread* Bridge::_channel(int channel) {
    for (const auto& c : channels_) {
        if (c->Channel() == channel) {
            return c.get();
        }
    }
    return nullptr;
}

}  // namespace rs485mqtt
