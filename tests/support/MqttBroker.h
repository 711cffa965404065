// Debian's mosquitto broker (/usr/sbin/mosquitto) as a child process of a test, listening on a
// loopback port of the sandbox, without persistence (a restart forgets retained messages).
#pragma once

#include <string>

#include "TestSupport.h"

namespace testsupport {

class MqttBroker {
  public:
    static constexpr int kPort = 18830;

    // Starts the broker and waits until it accepts connections.
    bool Start(int port = kPort);
    // SIGTERM and wait.
    bool Stop();
    ChildProcess& Process() { return proc_; }

  private:
    ChildProcess proc_;
    int port_{kPort};
    int run_{0};
};

}  // namespace testsupport
