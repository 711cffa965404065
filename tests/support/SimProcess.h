// The bus simulator rs485sim (from RS485SIM_BIN) run as a child process of a test.
#pragma once

#include <string>
#include <vector>

#include "TestSupport.h"

namespace testsupport {

class SimProcess {
  public:
    // Writes config_json to a file next to the link and starts the simulator on link with the
    // extra arguments; waits until the link exists.
    bool Start(const std::string& link, const std::string& config_json,
               const std::vector<std::string>& extra_args = {}, int timeout_ms = 15000);
    // SIGTERM and wait; true when it ended with status 0.
    bool Stop(int signo = 15, int timeout_ms = 15000);
    std::string Log() const { return ReadFile(log_); }
    ChildProcess& Process() { return proc_; }

  private:
    ChildProcess proc_;
    std::string log_;
};

}  // namespace testsupport
