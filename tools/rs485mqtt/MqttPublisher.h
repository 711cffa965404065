// The bridge's one connection to the broker, over libmosquitto, driven from the bridge's
// thread alone (no network thread of libmosquitto's own): Connect starts a connection
// without blocking, Service does the network work for up to a given time and reports what
// happened through the Take... calls.
#pragma once

#include <mosquitto.h>

#include <cstddef>
#include <deque>
#include <memory>
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

    // Creates the client with its last will (will_payload, retained, on will_topic), TLS and
    // user; false with the reason in *error.
    bool Init(const BrokerSettings& broker, const std::string& client_id,
              const std::string& will_topic, const std::string& will_payload, std::string* error);
    // Starts connecting; false with the reason when the attempt failed at once.
    bool Connect(std::string* error);
    // Network work for up to timeout_ms (sleeps that long when not connected).
    void Service(int timeout_ms);
    bool Connected() const { return state_ == State::kUp; }
    bool Down() const { return state_ == State::kDown; }

    // True once after the broker accepted the connection.
    bool TakeConnected();
    // True once after a connection or an attempt was lost; *reason tells why.
    bool TakeLost(std::string* reason);
    std::deque<InboundMessage> TakeMessages();
    unsigned long DroppedMessages() const { return dropped_; }

    // Hands a message to libmosquitto; only while connected (false otherwise).
    bool Publish(const std::string& topic, const std::string& payload, bool retain);
    bool Subscribe(const std::string& pattern);
    // True when every message handed over so far has been sent (QoS 0) or acknowledged.
    bool AllDelivered() const { return unacknowledged_ == 0; }
    // Ends the connection cleanly (the broker then drops the last will).
    void Disconnect();

  private:
    enum class State { kDown, kConnecting, kUp };

    static void OnConnect(mosquitto* m, void* self, int rc);
    static void OnDisconnect(mosquitto* m, void* self, int rc);
    static void OnPublish(mosquitto* m, void* self, int mid);
    static void OnMessage(mosquitto* m, void* self, const mosquitto_message* msg);
    bool _create(std::string* error);
    void _lose(const std::string& reason);

    struct Deleter {
        void operator()(mosquitto* m) const { mosquitto_destroy(m); }
    };
    std::unique_ptr<mosquitto, Deleter> mosq_;
    BrokerSettings broker_;
    std::string client_id_;
    std::string will_topic_;
    std::string will_payload_;
    bool stale_{false};
    State state_{State::kDown};
    bool connected_event_{false};
    bool lost_event_{false};
    std::string lost_reason_;
    std::deque<InboundMessage> inbound_;
    unsigned long dropped_{0};
    long unacknowledged_{0};
};

}  // namespace rs485mqtt
