#include "ChannelPoller.h"

#include <algorithm>

#include "BridgeLog.h"
#include "Clock.h"

namespace rs485mqtt {

namespace {

std::string OpenFailure(int result) {
    switch (result) {
        case -1:
            return "opened, but its shared memory could not be attached (is it one of the "
                   "\"shared\" groups of dwlib.conf?)";
        default:
            return "not opened: dwmid is not reachable or refused the channel";
    }
}

}  // namespace

ChannelPoller::ChannelPoller(const ChannelSettings& settings)
    : settings_(settings), mask_(settings.MachineMask()) {
    for (const MachineSettings& m : settings_.machines) {
        requests_[static_cast<std::size_t>(m.machine - 1)] = m.request;
    }
}

bool ChannelPoller::Step(int64_t now_ms, CycleResult* result) {
    if (!IsOpen()) {
        if (now_ms < next_open_ms_) {
            return false;
        }
        std::string why;
        if (!_open(&why)) {
            const long delay = reopen_.Next();
            next_open_ms_ = now_ms + delay;
            if (!failing_) {
                BridgeLog::Error("channel " + std::to_string(Channel()) + ": " + why +
                                 "; trying again with back-off");
            }
            failing_ = true;
            return false;
        }
        reopen_.Reset();
        failing_ = false;
        BridgeLog::Info("channel " + std::to_string(Channel()) + ": open, " +
                        std::to_string(settings_.machines.size()) + " machines, cycle every " +
                        std::to_string(settings_.cycle_period_ms) + " ms");
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
        return false;
    }
    return _cycle(result);
}

bool ChannelPoller::_open(std::string* why) {
    session_.emplace(Channel());
    const int opened = session_->Open(false, settings_.baud_index);
    // -2: the library had the channel attached already; the daemon counted the open.
    if (opened != 0 && opened != -2) {
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
        *why = "dwmid did not accept the machine selection";
        session_.reset();
        return false;
    }
    for (const MachineSettings& m : settings_.machines) {
        if (!session_->Deposit(m.machine, requests_[static_cast<std::size_t>(m.machine - 1)])) {
            *why = "dwmid did not accept the request of machine " + std::to_string(m.machine);
            session_.reset();
            return false;
        }
    }
    return true;
}

bool ChannelPoller::_cycle(CycleResult* result) {
    const int64_t start_us = MonotonicUs();
    const bool ok = session_->RunCycle();
    const int64_t end_us = MonotonicUs();
    result->info.end = WallClock();
    // startCom's 0 does not say why: a machine that did not answer fails the cycle, and so does
    // a daemon that ended or was killed (the library then returns within about a second and
    // detaches the channel). The selection order tells them apart: it needs the daemon's
    // connection, which ends with the daemon. A silent machine costs one order per cycle.
    if (!ok && !session_->SetMachines(mask_)) {
        _lost("the cycle failed and dwmid does not answer");
        return false;
    }
    result->info.channel = Channel();
    result->info.ok = ok;
    const int64_t us = end_us - start_us;
    result->info.cycle_us = us > 0xFFFFFFFF ? 0xFFFFFFFFu : static_cast<uint32_t>(us);
    result->replies = session_->Replies(mask_);
    return true;
}

void ChannelPoller::_lost(const std::string& why) {
    BridgeLog::Warning("channel " + std::to_string(Channel()) + ": " + why +
                       "; closing it and opening it again");
    session_.reset();
    next_open_ms_ = MonotonicMs() + reopen_.Next();
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

void ChannelPoller::Close() {
    session_.reset();
}

}  // namespace rs485mqtt
