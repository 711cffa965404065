#include "ChannelPoller.h"

#include <algorithm>

#include "BridgeLog.h"
#include "Clock.h"

namespace rs485mqtt {

namespace {

std::string OpenFailure(int result) {
    switch (result) {
        case RS485_OPEN_NOT_ATTACHED:
            return "opened, but its shared memory could not be attached (is it one of the "
                   "\"shared\" groups of dwlib.conf?)";
        default:
            return "not opened: dwmid is not reachable or refused the channel";
    }
}

}  // namespace

ChannelPoller::ChannelPoller(const ChannelSettings& settings, ChannelEvents* events,
                             const std::atomic<bool>* stopping)
    : settings_(settings),
      events_(events),
      stopping_(stopping),
      mask_(settings.MachineMask()),
      next_cycle_ms_(MonotonicMs()) {
    for (const MachineSettings& m : settings_.machines) {
        requests_[static_cast<std::size_t>(m.machine - 1)] = m.request;
    }
}

int64_t ChannelPoller::NextDue() const {
    if (!IsOpen()) {
        // The cycles that come due meanwhile are counted as missed when they are due.
        return std::min(next_open_ms_, next_cycle_ms_);
    }
    return cycle_now_ ? 0 : std::min(next_cycle_ms_, last_contact_ms_ + kProbeMs);
}

void ChannelPoller::Step(int64_t now_ms) {
    if (!IsOpen()) {
        std::string why;
        if (stopping_->load()) {
            return;
        }
        if (now_ms >= next_open_ms_ && !_open(&why)) {
            next_open_ms_ = now_ms + reopen_.Next();
            if (health_ != Health::kDown) {
                BridgeLog::Error("channel " + std::to_string(Channel()) + ": " + why +
                                 "; trying again with back-off");
            }
            _available(false, "channel " + std::to_string(Channel()) + " " + why);
        }
        if (!IsOpen()) {
            if (now_ms >= next_cycle_ms_) {
                const int64_t period = settings_.cycle_period_ms;
                const int64_t missed = (now_ms - next_cycle_ms_) / period + 1;
                next_cycle_ms_ += missed * period;
                events_->OnMissedCycles(Channel(), static_cast<unsigned long>(missed));
            }
            return;
        }
        reopen_.Reset();
        BridgeLog::Info("channel " + std::to_string(Channel()) + ": open, " +
                        std::to_string(settings_.machines.size()) + " machines, cycle every " +
                        std::to_string(settings_.cycle_period_ms) + " ms");
        last_contact_ms_ = now_ms;
        next_cycle_ms_ = now_ms;
        cycle_now_ = false;  // the first cycle runs at once anyway
    }
    if (cycle_now_) {
        cycle_now_ = false;  // an extra cycle: the schedule stays as it is
    } else if (now_ms >= next_cycle_ms_) {
        // The next cycle is due one period after this one was; a cycle longer than the
        // period starts the next one at once, without a burst of catch-up cycles.
        next_cycle_ms_ = std::max(next_cycle_ms_ + settings_.cycle_period_ms, now_ms);
    } else {
        if (now_ms >= last_contact_ms_ + kProbeMs) {
            if (!session_->SetMachines(mask_)) {
                _lost("dwmid does not answer");
                return;
            }
            last_contact_ms_ = now_ms;
        }
        return;
    }
    _cycle(now_ms);
}

bool ChannelPoller::_open(std::string* why) {
    session_.emplace(Channel());
    const int opened = session_->Open(false, settings_.baud_index);
    // Already attached in this process; the daemon counted the open.
    if (opened != RS485_OPEN_OK && opened != RS485_OPEN_ALREADY) {
        *why = OpenFailure(opened);
        session_.reset();
        return false;
    }
    for (const MachineSettings& m : settings_.machines) {
        if (!session_->SetParams(m.machine, m.params)) {
            *why = "dwmid did not accept the reply framing of machine " + std::to_string(m.machine);
            session_.reset();
            return false;
        }
    }
    if (!session_->SetMachines(mask_)) {
        *why = "not configured: dwmid did not accept the machine selection";
        session_.reset();
        return false;
    }
    for (const MachineSettings& m : settings_.machines) {
        if (!session_->Deposit(m.machine, requests_[static_cast<std::size_t>(m.machine - 1)])) {
            *why = "not configured: dwmid did not accept the request of machine " +
                   std::to_string(m.machine);
            session_.reset();
            return false;
        }
    }
    return true;
}

void ChannelPoller::_cycle(int64_t now_ms) {
    CycleResult result;
    const int64_t start_us = MonotonicUs();
    const bool ok = session_->RunCycle();
    const int64_t end_us = MonotonicUs();
    result.info.end = WallClock();
    if (!ok && stopping_->load()) {
        return;  // the bridge ends and closed the channel under the cycle
    }
    // startCom's 0 does not say why: a machine that did not answer fails the cycle, and so does
    // a daemon that ended or was killed (the library then returns within about 250 ms and
    // detaches the channel). The selection order tells them apart: it needs the daemon's
    // connection, which ends with the daemon. A silent machine costs one order per cycle.
    if (!ok && !session_->SetMachines(mask_)) {
        events_->OnMissedCycles(Channel(), 1);
        _lost("the cycle failed and dwmid does not answer");
        return;
    }
    last_contact_ms_ = std::max(now_ms, MonotonicMs());
    result.info.channel = Channel();
    result.info.ok = ok;
    const int64_t us = end_us - start_us;
    result.info.cycle_us = us > 0xFFFFFFFF ? 0xFFFFFFFFu : static_cast<uint32_t>(us);
    result.replies = session_->Replies(mask_);
    _available(true, "");
    events_->OnCycle(result);
}

void ChannelPoller::_lost(const std::string& why) {
    BridgeLog::Warning("channel " + std::to_string(Channel()) + ": " + why +
                       "; closing it and opening it again");
    session_.reset();
    const int64_t now = MonotonicMs();
    next_open_ms_ = now + reopen_.Next();
    next_cycle_ms_ = now + settings_.cycle_period_ms;
    _available(false, "channel " + std::to_string(Channel()) + ": " + why);
}

void ChannelPoller::_available(bool up, const std::string& why) {
    const Health health = up ? Health::kUp : Health::kDown;
    if (health != health_) {
        health_ = health;
        events_->OnAvailability(Channel(), up, why);
    }
}

bool ChannelPoller::SetRequest(int machine, const std::vector<uint8_t>& request, std::string* why) {
    requests_[static_cast<std::size_t>(machine - 1)] = request;
    if (IsOpen() && !session_->Deposit(machine, request)) {
        *why = "dwmid did not accept the request";
        _lost("a request was refused");
        return false;
    }
    return true;
}

bool ChannelPoller::SetMask(int mask, std::string* why) {
    mask_ = mask;
    if (IsOpen() && !session_->SetMachines(mask)) {
        *why = "dwmid did not accept the machine selection";
        _lost("the machine selection was refused");
        return false;
    }
    return true;
}

}  // namespace rs485mqtt
