// Commands received under <prefix>/<node>/<channel>/set/...:
//   set/request/<machine>   payload: the machine's new request as hex ("02 31 03")
//   set/mask                payload: the machines to poll, e.g. "1,3-5" or "all" (all
//                           configured machines)
//   set/cycle-now           payload ignored: one extra cycle at once
// Every command is checked against the configuration before anything touches the line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "BridgeConfig.h"

namespace rs485mqtt {

struct Command {
    enum class Kind { kRequest, kMask, kCycleNow };
    Kind kind{Kind::kCycleNow};
    int channel{0};
    int machine{0};  // kRequest
    std::vector<uint8_t> request;
    int mask{0};  // kMask
};

class CommandHandler {
  public:
    // Payloads above this size are refused before they are looked at.
    static constexpr std::size_t kMaxPayload = 256;

    explicit CommandHandler(const BridgeConfig& config) : config_(config) {}

    // The subscription that receives every command of this node.
    std::string Pattern() const { return config_.Base() + "/+/set/#"; }
    // False with the reason in *why for a command that must not run.
    bool Parse(const std::string& topic, const std::string& payload, Command* command,
               std::string* why) const;

  private:
    const BridgeConfig& config_;
};

}  // namespace rs485mqtt
