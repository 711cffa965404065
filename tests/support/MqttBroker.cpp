#include "MqttBroker.h"

#include <csignal>

namespace testsupport {

bool MqttBroker::Start(int port) {
    port_ = port;
    ++run_;
    const std::string base = "/var/local/sandbox/mosquitto." + std::to_string(run_);
    // "user root": the sandbox maps only root, so the broker cannot drop to its own user.
    if (!WriteFile(base + ".conf", "listener " + std::to_string(port) +
                                       " 127.0.0.1\nallow_anonymous true\npersistence false\n"
                                       "user root\n") ||
        !proc_.Start({"/usr/sbin/mosquitto", "-c", base + ".conf"}, base + ".out", base + ".err")) {
        return false;
    }
    return WaitUntil(
        [&] {
            TcpClient probe;
            return probe.Connect(port_);
        },
        10000);
}

bool MqttBroker::Stop() {
    return proc_.Signal(SIGTERM) && proc_.Wait(10000);
}

}  // namespace testsupport
