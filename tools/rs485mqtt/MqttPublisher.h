// The bridge's one MQTT client for its whole life, over libmosquitto: libmosquitto's own
// network thread keeps the connection (keep-alive pings, reconnection with its growing
// delay) whatever the channels' threads do; those publish from their own threads. An address
// that gives no connection for one turn is left for the next (Supervise).
#pragma once

#include <mosquitto.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "BridgeConfig.h"

namespace rs485mqtt {

struct InboundMessage {
    std::string topic;
    std::string payload;
};

class MqttPublisher {
  public:
    // Messages received between two TakeMessages; more are dropped (and counted), so that a
    // flood of commands cannot grow the bridge's memory.
    static constexpr std::size_t kInboundLimit = 64;

    MqttPublisher();
    ~MqttPublisher();
    MqttPublisher(const MqttPublisher&) = delete;
    MqttPublisher& operator=(const MqttPublisher&) = delete;

    // Creates the client with its last will (will_payload, retained, on will_topic), TLS,
    // user and protocol, subscribes to subscription at every connection, connects to the
    // first address and starts the network thread; false with the reason in *error.
    bool Start(const BrokerSettings& broker, const std::string& client_id,
               const std::string& will_topic, const std::string& will_payload,
               const std::string& subscription, std::string* error);
    // How long an address may go without a connection before the next one is tried (or,
    // with one address, the network thread is started again).
    int64_t TurnMs() const;
    // Moves on to the next address when the current one has had its turn; from one thread.
    // True when it did.
    bool Supervise(int64_t now_ms);
    const BrokerAddress& Address() const { return broker_.addresses[address_]; }

    bool Connected() const { return connected_.load(); }
    // Waits up to timeout_ms for a connection, a loss or a message.
    void Wait(int timeout_ms);
    // True once after the broker accepted a connection.
    bool TakeConnected();
    // True once after a connection was lost or refused; *reason tells why.
    bool TakeLost(std::string* reason);
    std::deque<InboundMessage> TakeMessages();
    unsigned long DroppedMessages() const { return dropped_.load(); }

    // Hands a message to libmosquitto, from any thread; only while connected (false
    // otherwise), so that nothing piles up in the client while the broker is away.
    bool Publish(const std::string& topic, const std::string& payload, bool retain);
    // True when every message handed over so far has been sent (QoS 0) or acknowledged.
    bool AllDelivered() const { return delivered_.load() >= published_.load(); }
    // Ends the connection cleanly (the broker then drops the last will) and the network
    // thread.
    void Stop();

  private:
    static void OnConnect(mosquitto* m, void* self, int rc);
    static void OnDisconnect(mosquitto* m, void* self, int rc);
    static void OnPublish(mosquitto* m, void* self, int mid);
    static void OnMessage(mosquitto* m, void* self, const mosquitto_message* msg);
    // Connects to address_ (without waiting) and starts the network thread.
    bool _run(std::string* error);
    void _event(const std::function<void()>& change);

    struct Deleter {
        void operator()(mosquitto* m) const { mosquitto_destroy(m); }
    };
    std::unique_ptr<mosquitto, Deleter> mosq_;
    BrokerSettings broker_;
    std::string subscription_;
    std::size_t address_{0};
    bool running_{false};
    int64_t turn_start_ms_{0};
    std::atomic<bool> connected_{false};
    std::atomic<unsigned long> published_{0};
    std::atomic<unsigned long> delivered_{0};
    std::atomic<unsigned long> dropped_{0};

    std::mutex mutex_;  // guards what follows, shared with the network thread
    std::condition_variable changed_;
    bool connected_event_{false};
    bool lost_event_{false};
    std::string lost_reason_;
    std::deque<InboundMessage> inbound_;
};

}  // namespace rs485mqtt
