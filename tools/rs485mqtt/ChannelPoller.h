// One configured channel used through librs485: opens and configures it, runs its cycles at
// the configured period and, when a call fails because the daemon went away, closes it and
// opens it again after a bounded exponential back-off.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Backoff.h"
#include "BridgeConfig.h"
#include "BusSession.h"
#include "MachineReply.h"
#include "PayloadWriter.h"

namespace rs485mqtt {

struct CycleResult {
    CycleInfo info;
    std::vector<rs485tools::MachineReply> replies;  // the selected machines, in order
};

class ChannelPoller {
  public:
    // Delays between attempts to open the channel while the daemon is away.
    static constexpr long kReopenMinMs = 250;
    static constexpr long kReopenMaxMs = 5000;

    explicit ChannelPoller(const ChannelSettings& settings);

    int Channel() const { return settings_.channel; }
    bool IsOpen() const { return session_.has_value(); }
    // Monotonic milliseconds of the next thing to do (open attempt or cycle).
    int64_t NextDue() const {
        if (!IsOpen()) {
            return next_open_ms_;
        }
        return cycle_now_ ? 0 : next_cycle_ms_;
    }
    // Does what is due at now_ms: an open attempt, or a cycle. True when a cycle ran
    // (*result then holds it).
    bool Step(int64_t now_ms, CycleResult* result);
    // The next Step runs a cycle at once (when the channel is open).
    void CycleNow() { cycle_now_ = true; }

    // Replaces machine's request; kept for later opens. False (with *why) when the daemon
    // refused it (the channel is then opened again).
    bool SetRequest(int machine, const std::vector<uint8_t>& request, std::string* why);
    // Selects the machines of mask (a subset of the configured ones) for the cycles.
    bool SetMask(int mask, std::string* why);
    int Mask() const { return mask_; }
    void Close();

  private:
    bool _open(std::string* why);
    bool _cycle(CycleResult* result);
    void _lost(const std::string& why);

    ChannelSettings settings_;
    std::array<std::vector<uint8_t>, RS485_MACHINE_COUNT> requests_{};
    int mask_;
    std::optional<rs485tools::BusSession> session_;
    Backoff reopen_{kReopenMinMs, kReopenMaxMs};
    int64_t next_open_ms_{0};
    int64_t next_cycle_ms_{0};
    bool cycle_now_{false};
    bool failing_{false};  // the last open attempt failed (logged once until it succeeds)
};

}  // namespace rs485mqtt
