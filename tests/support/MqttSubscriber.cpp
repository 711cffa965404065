#include "MqttSubscriber.h"

#include <atomic>

namespace testsupport {

bool MqttSubscriber::Start(const std::string& pattern, int port) {
    static std::atomic<int> runs{0};
    const std::string base = "/var/local/sandbox/mqttsub." + std::to_string(++runs);
    return proc_.Start({"/usr/bin/mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(port),
                        "-v", "-F", "%r %t %p", "-t", pattern},
                       base + ".out", base + ".err");
}

std::vector<MqttLine> MqttSubscriber::Messages() const {
    std::vector<MqttLine> messages;
    for (const std::string& line : Lines(proc_.Stdout())) {
        const std::size_t topic_end = line.find(' ', 2);
        if (line.size() < 3 || topic_end == std::string::npos) {
            continue;
        }
        MqttLine m;
        m.retained = line[0] == '1';
        m.topic = line.substr(2, topic_end - 2);
        m.payload = line.substr(topic_end + 1);
        messages.push_back(m);
    }
    return messages;
}

std::vector<MqttLine> MqttSubscriber::On(const std::string& topic) const {
    std::vector<MqttLine> on;
    for (const MqttLine& m : Messages()) {
        if (m.topic == topic) {
            on.push_back(m);
        }
    }
    return on;
}

bool MqttSubscriber::WaitFor(const std::string& topic,
                             const std::function<bool(const MqttLine&)>& pred,
                             int timeout_ms) const {
    return WaitUntil(
        [&] {
            for (const MqttLine& m : On(topic)) {
                if (pred(m)) {
                    return true;
                }
            }
            return false;
        },
        timeout_ms);
}

}  // namespace testsupport
