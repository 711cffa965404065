// One configured channel used through librs485, on the thread of its ChannelThread: opens
// and configures it, runs its cycles at the configured period, tells whether the line is up,
// and, when the daemon went away, closes it and opens it again after a bounded exponential
// back-off.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Backoff.h"
#include "BridgeConfig.h"
#include "BusSession.h"
#include "ChannelEvents.h"

namespace rs485mqtt {

class ChannelPoller {
  public:
    // Delays between attempts to open the channel while the daemon is away.
    static constexpr long kReopenMinMs = 250;
    static constexpr long kReopenMaxMs = 5000;
    // Longest time without a word from the daemon while the channel is open: between cycles
    // further apart than this, the selection order is sent again to see that the daemon is
    // still there (pxa_rs485_startCom and the orders are the only calls that can tell).
    static constexpr int64_t kProbeMs = 500;

    // stopping: set when the bridge ends; a call that fails then is not taken as a loss.
    ChannelPoller(const ChannelSettings& settings, ChannelEvents* events,
                  const std::atomic<bool>* stopping);

    int Channel() const { return settings_.channel; }
    bool IsOpen() const { return session_.has_value(); }
    // Monotonic milliseconds of the next thing to do (open attempt, cycle or probe).
    int64_t NextDue() const;
    // Does what is due at now_ms: an open attempt, a cycle or a probe of the daemon.
    void Step(int64_t now_ms);
    // The next Step runs a cycle at once (when the channel is open).
    void CycleNow() { cycle_now_ = true; }

    // Replaces machine's request; kept for later opens. False (with *why) when the daemon
    // refused it (the channel is then opened again).
    bool SetRequest(int machine, const std::vector<uint8_t>& request, std::string* why);
    // Selects the machines of mask (a subset of the configured ones) for the cycles.
    bool SetMask(int mask, std::string* why);
    int Mask() const { return mask_; }
    void Close() { session_.reset(); }

  private:
    bool _open(std::string* why);
    void _cycle(int64_t now_ms);
    void _lost(const std::string& why);
    void _available(bool up, const std::string& why);

    ChannelSettings settings_;
    ChannelEvents* events_;
    const std::atomic<bool>* stopping_;
    std::array<std::vector<uint8_t>, RS485_MACHINE_COUNT> requests_{};
    int mask_;
    std::optional<rs485tools::BusSession> session_;
    Backoff reopen_{kReopenMinMs, kReopenMaxMs};
    int64_t next_open_ms_{0};
    int64_t next_cycle_ms_{0};
    int64_t last_contact_ms_{0};
    bool cycle_now_{false};
    enum class Health { kUnknown, kUp, kDown } health_{Health::kUnknown};
};

}  // namespace rs485mqtt
