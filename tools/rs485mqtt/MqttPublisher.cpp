#include "MqttPublisher.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include "Clock.h"

namespace rs485mqtt {

namespace {

// libmosquitto keeps a process-wide state (its TLS and socket set-up); one per process.
class LibraryUse {
  public:
    LibraryUse() { mosquitto_lib_init(); }
    ~LibraryUse() { mosquitto_lib_cleanup(); }
    LibraryUse(const LibraryUse&) = delete;
    LibraryUse& operator=(const LibraryUse&) = delete;
};

std::string ErrorText(int rc) {
    if (rc == MOSQ_ERR_ERRNO) {
        return std::strerror(errno);
    }
    std::string text = mosquitto_strerror(rc);
    if (!text.empty() && text.back() == '.') {
        text.pop_back();
    }
    return text;
}

}  // namespace

MqttPublisher::MqttPublisher() {
    static LibraryUse library;
}

MqttPublisher::~MqttPublisher() {
    Stop();
}

bool MqttPublisher::Start(const BrokerSettings& broker, const std::string& client_id,
                          const std::string& will_topic, const std::string& will_payload,
                          const std::string& subscription, std::string* error) {
    broker_ = broker;
    subscription_ = subscription;
    // A clean session: the broker keeps nothing for the bridge between connections; the
    // bridge subscribes and republishes its latest state at every connection instead.
    mosq_.reset(mosquitto_new(client_id.c_str(), true, this));
    if (!mosq_) {
        *error = "cannot create the MQTT client: " + std::string(std::strerror(errno));
        return false;
    }
    mosquitto_connect_callback_set(mosq_.get(), OnConnect);
    mosquitto_disconnect_callback_set(mosq_.get(), OnDisconnect);
    mosquitto_publish_callback_set(mosq_.get(), OnPublish);
    mosquitto_message_callback_set(mosq_.get(), OnMessage);
    int rc = mosquitto_int_option(
        mosq_.get(), MOSQ_OPT_PROTOCOL_VERSION,
        broker_.protocol == MqttProtocol::kV5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
    if (rc == MOSQ_ERR_SUCCESS) {
        rc = mosquitto_reconnect_delay_set(
            mosq_.get(), static_cast<unsigned>(broker_.reconnect_delay_s),
            static_cast<unsigned>(broker_.reconnect_delay_max_s), true);
    }
    if (rc == MOSQ_ERR_SUCCESS) {
        rc = mosquitto_will_set(mosq_.get(), will_topic.c_str(),
                                static_cast<int>(will_payload.size()), will_payload.data(),
                                broker_.qos, true);
    }
    if (rc == MOSQ_ERR_SUCCESS && !broker_.user.empty()) {
        rc = mosquitto_username_pw_set(
            mosq_.get(), broker_.user.c_str(),
            broker_.password.empty() ? nullptr : broker_.password.c_str());
    }
    if (rc == MOSQ_ERR_SUCCESS && !broker_.tls.ca_file.empty()) {
        const TlsSettings& tls = broker_.tls;
        rc = mosquitto_tls_set(mosq_.get(), tls.ca_file.c_str(), nullptr,
                               tls.cert_file.empty() ? nullptr : tls.cert_file.c_str(),
                               tls.key_file.empty() ? nullptr : tls.key_file.c_str(), nullptr);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        *error = "cannot set up the MQTT client: " + ErrorText(rc);
        mosq_.reset();
        return false;
    }
    address_ = 0;
    turn_start_ms_ = MonotonicMs();
    return _run(error);
}

bool MqttPublisher::_run(std::string* error) {
    const BrokerAddress& a = Address();
    // A first attempt that fails at once is no failure: the network thread tries again.
    const int rc =
        mosquitto_connect_async(mosq_.get(), a.host.c_str(), a.port, broker_.keep_alive_s);
    if (rc == MOSQ_ERR_INVAL) {
        *error = "cannot connect to " + a.Text() + ": " + ErrorText(rc);
        return false;
    }
    const int started = mosquitto_loop_start(mosq_.get());
    if (started != MOSQ_ERR_SUCCESS) {
        *error = "cannot start the MQTT network thread: " + ErrorText(started);
        return false;
    }
    running_ = true;
    return true;
}

int64_t MqttPublisher::TurnMs() const {
    // With one address: libmosquitto gives up on a few errors (a name that does not resolve,
    // a failed TLS handshake), so it is started again once it has been without a connection
    // for longer than its longest delay. With more: long enough for an attempt,
    // libmosquitto's delay and a second attempt.
    const int64_t turn = 2 * static_cast<int64_t>(broker_.reconnect_delay_s) + 2;
    return (broker_.addresses.size() > 1 ? turn : turn + broker_.reconnect_delay_max_s) * 1000;
}

bool MqttPublisher::Supervise(int64_t now_ms) {
    if (Connected()) {
        turn_start_ms_ = now_ms;
        return false;
    }
    if (now_ms - turn_start_ms_ < TurnMs()) {
        return false;
    }
    if (running_) {
        // The network thread ends once the client is marked as disconnecting; the next
        // address gets the same client and a new thread.
        mosquitto_disconnect(mosq_.get());
        mosquitto_loop_stop(mosq_.get(), false);
        running_ = false;
    }
    address_ = (address_ + 1) % broker_.addresses.size();
    turn_start_ms_ = now_ms;
    std::string error;
    if (!_run(&error)) {
        std::lock_guard<std::mutex> lock(mutex_);
        lost_event_ = true;
        lost_reason_ = error;
    }
    return true;
}

void MqttPublisher::Wait(int timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                      [this] { return connected_event_ || lost_event_ || !inbound_.empty(); });
}

bool MqttPublisher::TakeConnected() {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool e = connected_event_;
    connected_event_ = false;
    return e;
}

bool MqttPublisher::TakeLost(std::string* reason) {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool e = lost_event_;
    lost_event_ = false;
    *reason = lost_reason_;
    return e;
}

std::deque<InboundMessage> MqttPublisher::TakeMessages() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::deque<InboundMessage> taken;
    taken.swap(inbound_);
    return taken;
}

bool MqttPublisher::Publish(const std::string& topic, const std::string& payload, bool retain) {
    if (!Connected()) {
        return false;
    }
    ++published_;
    const int rc =
        mosquitto_publish(mosq_.get(), nullptr, topic.c_str(), static_cast<int>(payload.size()),
                          payload.data(), broker_.qos, retain);
    if (rc != MOSQ_ERR_SUCCESS) {
        --published_;
        return false;
    }
    return true;
}

void MqttPublisher::Stop() {
    if (!running_) {
        return;
    }
    mosquitto_disconnect(mosq_.get());
    mosquitto_loop_stop(mosq_.get(), false);
    running_ = false;
    connected_ = false;
}

void MqttPublisher::_event(const std::function<void()>& change) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        change();
    }
    changed_.notify_all();
}

// The callbacks run on the network thread.
void MqttPublisher::OnConnect(mosquitto* m, void* self, int rc) {
    auto* p = static_cast<MqttPublisher*>(self);
    if (rc != 0) {
        const std::string why = p->broker_.protocol == MqttProtocol::kV5
                                    ? mosquitto_reason_string(rc)
                                    : mosquitto_connack_string(rc);
        p->_event([p, why] {
            p->lost_event_ = true;
            p->lost_reason_ = "refused by the broker: " + why;
        });
        return;
    }
    // The broker handles the subscription first: whoever sees "online" may send commands.
    mosquitto_subscribe(m, nullptr, p->subscription_.c_str(), p->broker_.qos);
    p->connected_ = true;
    p->_event([p] { p->connected_event_ = true; });
}

void MqttPublisher::OnDisconnect(mosquitto* /*m*/, void* self, int rc) {
    auto* p = static_cast<MqttPublisher*>(self);
    if (!p->connected_.exchange(false)) {
        return;
    }
    p->_event([p, rc] {
        p->lost_event_ = true;
        p->lost_reason_ = rc == 0 ? "disconnected" : "connection lost";
    });
}

void MqttPublisher::OnPublish(mosquitto* /*m*/, void* self, int /*mid*/) {
    ++static_cast<MqttPublisher*>(self)->delivered_;
}

void MqttPublisher::OnMessage(mosquitto* /*m*/, void* self, const mosquitto_message* msg) {
    auto* p = static_cast<MqttPublisher*>(self);
    InboundMessage in;
    in.topic = msg->topic != nullptr ? msg->topic : "";
    if (msg->payload != nullptr && msg->payloadlen > 0) {
        in.payload.assign(static_cast<const char*>(msg->payload),
                          static_cast<std::size_t>(msg->payloadlen));
    }
    bool kept = false;
    p->_event([p, &in, &kept] {
        if (p->inbound_.size() < kInboundLimit) {
            p->inbound_.push_back(std::move(in));
            kept = true;
        }
    });
    if (!kept) {
        ++p->dropped_;
    }
}

}  // namespace rs485mqtt
