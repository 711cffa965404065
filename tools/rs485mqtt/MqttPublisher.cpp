#include "MqttPublisher.h"

#include <poll.h>

#include <cerrno>
#include <cstring>

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

MqttPublisher::~MqttPublisher() = default;

bool MqttPublisher::Init(const BrokerSettings& broker, const std::string& client_id,
                         const std::string& will_topic, const std::string& will_payload,
                         std::string* error) {
    broker_ = broker;
    client_id_ = client_id;
    will_topic_ = will_topic;
    will_payload_ = will_payload;
    return _create(error);
}

bool MqttPublisher::_create(std::string* error) {
    mosq_.reset(mosquitto_new(client_id_.c_str(), true, this));
    if (!mosq_) {
        *error = "cannot create the MQTT client: " + std::string(std::strerror(errno));
        return false;
    }
    mosquitto_connect_callback_set(mosq_.get(), OnConnect);
    mosquitto_disconnect_callback_set(mosq_.get(), OnDisconnect);
    mosquitto_publish_callback_set(mosq_.get(), OnPublish);
    mosquitto_message_callback_set(mosq_.get(), OnMessage);
    int rc =
        mosquitto_will_set(mosq_.get(), will_topic_.c_str(), static_cast<int>(will_payload_.size()),
                           will_payload_.data(), broker_.qos, true);
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
    stale_ = false;
    return true;
}

bool MqttPublisher::Connect(std::string* error) {
    // A client that lost its connection still holds the messages handed to it before; a new
    // client drops them (the bridge republishes its latest state itself) and so keeps the
    // memory bounded while the broker is away.
    if (stale_ && !_create(error)) {
        return false;
    }
    const int rc = mosquitto_connect_async(mosq_.get(), broker_.host.c_str(), broker_.port,
                                           broker_.keep_alive_s);
    if (rc != MOSQ_ERR_SUCCESS) {
        *error = ErrorText(rc);
        stale_ = true;
        return false;
    }
    state_ = State::kConnecting;
    unacknowledged_ = 0;
    return true;
}

void MqttPublisher::Service(int timeout_ms) {
    if (state_ == State::kDown) {
        ::poll(nullptr, 0, timeout_ms);
        return;
    }
    const int rc = mosquitto_loop(mosq_.get(), timeout_ms, 1);
    if (rc != MOSQ_ERR_SUCCESS && state_ != State::kDown) {
        _lose(ErrorText(rc));
    }
}

bool MqttPublisher::TakeConnected() {
    const bool e = connected_event_;
    connected_event_ = false;
    return e;
}

bool MqttPublisher::TakeLost(std::string* reason) {
    const bool e = lost_event_;
    lost_event_ = false;
    *reason = lost_reason_;
    return e;
}

std::deque<InboundMessage> MqttPublisher::TakeMessages() {
    std::deque<InboundMessage> taken;
    taken.swap(inbound_);
    return taken;
}

bool MqttPublisher::Publish(const std::string& topic, const std::string& payload, bool retain) {
    if (state_ != State::kUp) {
        return false;
    }
    const int rc =
        mosquitto_publish(mosq_.get(), nullptr, topic.c_str(), static_cast<int>(payload.size()),
                          payload.data(), broker_.qos, retain);
    if (rc != MOSQ_ERR_SUCCESS) {
        _lose(ErrorText(rc));
        return false;
    }
    ++unacknowledged_;
    return true;
}

bool MqttPublisher::Subscribe(const std::string& pattern) {
    return state_ == State::kUp && mosquitto_subscribe(mosq_.get(), nullptr, pattern.c_str(),
                                                       broker_.qos) == MOSQ_ERR_SUCCESS;
}

void MqttPublisher::Disconnect() {
    if (state_ != State::kDown) {
        mosquitto_disconnect(mosq_.get());
        state_ = State::kDown;
    }
}

void MqttPublisher::_lose(const std::string& reason) {
    // This may run inside a callback of the client: the client is replaced at the next
    // Connect, not here.
    mosquitto_disconnect(mosq_.get());
    stale_ = true;
    state_ = State::kDown;
    lost_event_ = true;
    lost_reason_ = reason;
}

void MqttPublisher::OnConnect(mosquitto* /*m*/, void* self, int rc) {
    auto* p = static_cast<MqttPublisher*>(self);
    if (rc != 0) {
        p->_lose(std::string("refused by the broker: ") + mosquitto_connack_string(rc));
        return;
    }
    p->state_ = State::kUp;
    p->connected_event_ = true;
}

void MqttPublisher::OnDisconnect(mosquitto* /*m*/, void* self, int rc) {
    auto* p = static_cast<MqttPublisher*>(self);
    if (p->state_ != State::kDown) {
        p->_lose(rc == 0 ? "disconnected" : "connection lost");
    }
}

void MqttPublisher::OnPublish(mosquitto* /*m*/, void* self, int /*mid*/) {
    auto* p = static_cast<MqttPublisher*>(self);
    if (p->unacknowledged_ > 0) {
        --p->unacknowledged_;
    }
}

void MqttPublisher::OnMessage(mosquitto* /*m*/, void* self, const mosquitto_message* msg) {
    auto* p = static_cast<MqttPublisher*>(self);
    if (p->inbound_.size() >= kInboundLimit) {
        ++p->dropped_;
        return;
    }
    InboundMessage in;
    in.topic = msg->topic != nullptr ? msg->topic : "";
    if (msg->payload != nullptr && msg->payloadlen > 0) {
        in.payload.assign(static_cast<const char*>(msg->payload),
                          static_cast<std::size_t>(msg->payloadlen));
    }
    p->inbound_.push_back(std::move(in));
}

}  // namespace rs485mqtt
