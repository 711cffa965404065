// Waits of the line's timing rules, kept on a schedule of absolute deadlines on the monotonic
// clock: each wait ends one rule amount after the deadline of the previous one, so that the
// time spent in system calls and traces between two waits, and the scheduler's lateness in
// waking the thread, do not add up over a transaction.
#pragma once

#include <cstdint>

namespace veldw485::line {

class LinePacer {
  public:
    // Asks the kernel for wake-ups without timer slack on the calling thread; the thread
    // that runs a line's cycles calls it once.
    static void PreciseWakeups();

    // catch_up_us: how far behind its schedule a thread may be and still keep it. A thread
    // held up for longer (preempted, a slow call) starts the schedule again from the
    // current time, so the following waits are not run together to catch up.
    explicit LinePacer(int64_t catch_up_us = 0) : _catchUpNs(catch_up_us * 1000) {}

    void SetCatchUp(int64_t catch_up_us) { _catchUpNs = catch_up_us * 1000; }
    // The next wait counts from the current time.
    void Restart();
    // Waits until us microseconds after the previous deadline (see catch_up_us).
    void Wait(int64_t us);
    // As Wait, but ends early when input is waiting on fd: the schedule then counts from
    // that moment. True when input came (or fd reported an error or hang-up).
    bool WaitOrInput(int fd, int64_t us);
    // Waits until the next whole multiple of us on the monotonic clock. Pollers with the
    // same period thus wake together, one timer interrupt for all of them, and each still
    // looks at least once per period.
    void WaitNextTick(int64_t us);
    // The time from now to the next whole multiple of us, for a wait that may end early.
    int64_t UntilNextTick(int64_t us) const;

  private:
    static int64_t NowNs();
    void SleepUntilDeadline() const;

    int64_t _catchUpNs;
    int64_t _deadlineNs{0};
};

}  // namespace veldw485::line
