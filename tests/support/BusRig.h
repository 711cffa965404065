// The real daemon with one bus simulator per configured line, for fault and load tests.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace testsupport {

class BusRig {
  public:
    static constexpr char kKeyDir[] = "/var/local/velkey";
    static constexpr char kMachinesFile[] = "/var/local/sandbox/machines.json";

    BusRig() = default;
    ~BusRig();
    BusRig(const BusRig&) = delete;
    BusRig& operator=(const BusRig&) = delete;

    // Writes the machines file, starts one simulator per line (baud index 5, no pacing),
    // installs the configuration (edited by patch when given) and starts the daemon.
    bool Start(int lines, const std::string& machines_json,
               const std::vector<std::pair<std::string, std::string>>& patch = {});
    // Starts (again) the simulator of one line; its old process must have ended.
    bool StartSimulator(int line);
    void StopSimulator(int line);
    bool WaitServing() { return daemon_.WaitServing(30000); }
    // Kills the daemon if it still runs.
    void StopDaemon();

    Daemon& GetDaemon() { return daemon_; }
    ChildProcess& Sim(int line) { return *sims_[static_cast<std::size_t>(line)]; }
    static std::string Link(int line);

    // Sends one order and returns the first receive (empty on time-out).
    static std::string Order(TcpClient& c, const std::string& text, int timeout_ms = 10000);

  private:
    Daemon daemon_;
    std::vector<std::unique_ptr<ChildProcess>> sims_;
};

}  // namespace testsupport
