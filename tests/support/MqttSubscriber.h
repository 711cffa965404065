// mosquitto_sub as a child process of a test: every message on the topics of a pattern, one
// line each, "<retained 0/1> <topic> <payload>".
#pragma once

#include <string>
#include <vector>

#include "TestSupport.h"

namespace testsupport {

struct MqttLine {
    bool retained{false};
    std::string topic;
    std::string payload;
};

class MqttSubscriber {
  public:
    bool Start(const std::string& pattern, int port);
    std::vector<MqttLine> Messages() const;
    // The messages on topic so far.
    std::vector<MqttLine> On(const std::string& topic) const;
    // Waits until a message on topic satisfies pred.
    bool WaitFor(const std::string& topic, const std::function<bool(const MqttLine&)>& pred,
                 int timeout_ms = 20000) const;
    ChildProcess& Process() { return proc_; }

  private:
    ChildProcess proc_;
};

}  // namespace testsupport
