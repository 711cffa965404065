// Everything rs485mqtt does, as read from its JSON configuration file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "FixedPaths.h"
#include "MachineParams.h"

namespace rs485mqtt {

inline constexpr char kDefaultConfigPath[] = RS485_CONF_DIR "/rs485mqtt.conf";

struct TlsSettings {
    std::string ca_file;  // empty: plain TCP
    std::string cert_file;
    std::string key_file;
};

struct BrokerAddress {
    std::string host;
    int port{1883};

    // "host:port", with an IPv6 address in brackets.
    std::string Text() const {
        const bool v6 = host.find(':') != std::string::npos;
        return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
    }
};

enum class MqttProtocol { kV311, kV5 };

struct BrokerSettings {
    // Tried in turn, from the first; never empty after loading.
    std::vector<BrokerAddress> addresses{{"localhost", 1883}};
    MqttProtocol protocol{MqttProtocol::kV311};
    std::string client_id;  // empty: "rs485mqtt-" followed by the node name
    int keep_alive_s{30};
    int qos{1};
    TlsSettings tls;
    std::string user;  // empty: no user name
    std::string password;
    // libmosquitto's reconnection delay: from the first value, growing up to the second.
    int reconnect_delay_s{1};
    int reconnect_delay_max_s{30};
};

struct MachineSettings {
    int machine{1};  // 1-based, as in the public interface
    rs485tools::MachineParams params;
    std::vector<uint8_t> request;
    bool request_is_text{false};  // only for the plan: how the request was written
};

struct ChannelSettings {
    int channel{1};  // 1-based
    int baud_index{3};
    long cycle_period_ms{1000};
    std::vector<MachineSettings> machines;  // in machine order

    // Bit m-1 for every configured machine m.
    int MachineMask() const {
        int mask = 0;
        for (const MachineSettings& m : machines) {
            mask |= 1 << (m.machine - 1);
        }
        return mask;
    }
    const MachineSettings* Machine(int machine) const {
        for (const MachineSettings& m : machines) {
            if (m.machine == machine) {
                return &m;
            }
        }
        return nullptr;
    }
};

struct BridgeConfig {
    BrokerSettings broker;
    std::string node;
    std::string topic_prefix{"rs485"};
    bool publish_on_change{false};
    long statistics_interval_s{60};  // 0: no statistics messages
    bool commands_enabled{false};
    std::vector<ChannelSettings> channels;  // in channel order

    std::string ClientId() const {
        return broker.client_id.empty() ? "rs485mqtt-" + node : broker.client_id;
    }
    // "<prefix>/<node>"
    std::string Base() const { return topic_prefix + "/" + node; }
    const ChannelSettings* Channel(int channel) const {
        for (const ChannelSettings& c : channels) {
            if (c.channel == channel) {
                return &c;
            }
        }
        return nullptr;
    }
};

}  // namespace rs485mqtt
