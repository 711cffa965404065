#include "CtlRunner.h"

#include <ctime>
#include <string>

#include <rs485.h>

#include "BusSession.h"
#include "DaemonProbe.h"
#include "ExitCode.h"

namespace rs485ctl {

using rs485tools::BusSession;

namespace {

timespec Now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t;
}

// Microseconds from a to b, saturated to the 32-bit range.
uint32_t MicrosBetween(const timespec& a, const timespec& b) {
    const double us = static_cast<double>(b.tv_sec - a.tv_sec) * 1e6 +
                      static_cast<double>(b.tv_nsec - a.tv_nsec) / 1e3;
    if (us <= 0) {
        return 0;
    }
    return us >= 4294967295.0 ? 4294967295u : static_cast<uint32_t>(us);
}

void AddMillis(timespec* t, long ms) {
    t->tv_sec += static_cast<time_t>(ms / 1000);
    t->tv_nsec += (ms % 1000) * 1000000L;
    if (t->tv_nsec >= 1000000000L) {
        t->tv_nsec -= 1000000000L;
        ++t->tv_sec;
    }
}

bool Before(const timespec& a, const timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

}  // namespace

int CtlRunner::_openFailure(int result) {
    const std::string ch = std::to_string(settings_.channel);
    if (result == RS485_OPEN_NOT_ATTACHED) {
        report_.Error(kExitNoSharedMemory,
                      "channel " + ch +
                          " was opened, but its shared memory could not be attached (is it one "
                          "of the \"shared\" groups of dwlib.conf?)");
        return kExitNoSharedMemory;
    }
    const DaemonProbe probe;
    if (!probe.ConfigProblem().empty()) {
        report_.Error(kExitNoConfiguration, "no configuration: " + probe.ConfigFile() +
                                                " cannot be used (" + probe.ConfigProblem() +
                                                "); the library needs it to reach the daemon");
        return kExitNoConfiguration;
    }
    if (!probe.Reachable()) {
        report_.Error(kExitDaemonNotRunning,
                      "daemon not running: nothing accepts connections on " + probe.Address() +
                          " (a daemon that has just started may still be in its start delay, "
                          "\"start_wait_interval\" of dwmid.conf; see " +
                          probe.LogPath() + ")");
        return kExitDaemonNotRunning;
    }
    report_.Error(kExitChannelRefused,
                  "channel " + ch +
                      " refused by the daemon (not configured, or its device could not be "
                      "opened: see the daemon's log " +
                      probe.LogPath() + ")");
    return kExitChannelRefused;
}

int CtlRunner::Run() {
    BusSession bus(settings_.channel);
    const int opened = bus.Open(settings_.sniffer, settings_.baud_index);
    // Already open in this process cannot happen here.
    if (opened != RS485_OPEN_OK && opened != RS485_OPEN_ALREADY) {
        return _openFailure(opened);
    }
    const int mask = settings_.machine_mask;
    for (int m = 1; m <= RS485_MACHINE_COUNT; ++m) {
        if ((mask & (1 << (m - 1))) != 0 &&
            !bus.SetParams(m, settings_.params[static_cast<std::size_t>(m - 1)])) {
            report_.Error(
                kExitRunFailed,
                "the daemon did not accept the reply framing of machine " + std::to_string(m));
            return kExitRunFailed;
        }
    }
    if (!bus.SetMachines(mask)) {
        report_.Error(kExitRunFailed, "the daemon did not accept the machine selection");
        return kExitRunFailed;
    }
    for (int m = 1; m <= RS485_MACHINE_COUNT; ++m) {
        const auto i = static_cast<std::size_t>(m - 1);
        if (settings_.has_request[i] && !bus.Deposit(m, settings_.requests[i])) {
            report_.Error(kExitRunFailed,
                          "the daemon did not accept the request for machine " + std::to_string(m));
            return kExitRunFailed;
        }
    }

    std::vector<MachineStats> stats(RS485_MACHINE_COUNT);
    unsigned long cycles = 0;
    unsigned long failed = 0;
    timespec next = Now();
    while (!SignalWatch::Stopped()) {
        const timespec start = Now();
        const bool ok = bus.RunCycle();
        const uint32_t cycle_us = MicrosBetween(start, Now());
        ++cycles;
        if (!ok) {
            ++failed;
        }
        const std::vector<MachineReply> replies = bus.Replies(mask);
        for (const MachineReply& r : replies) {
            stats[static_cast<std::size_t>(r.machine - 1)].Record(r.status, cycle_us);
        }
        report_.Cycle(cycles, ok, cycle_us, replies, stats);
        if (settings_.count != 0 && cycles >= static_cast<unsigned long>(settings_.count)) {
            break;
        }
        if (settings_.interval_ms > 0) {
            AddMillis(&next, settings_.interval_ms);
            const timespec now = Now();
            // A cycle longer than the interval starts the next one at once, without a burst
            // of catch-up cycles.
            if (Before(next, now)) {
                next = now;
            }
            if (!signals_.SleepUntil(next)) {
                break;
            }
        }
    }
    if (settings_.json || settings_.count != 1) {
        report_.Summary(cycles, failed, mask, stats);
    }
    return failed == 0 ? kExitOk : kExitRunFailed;
}

}  // namespace rs485ctl
