#include "LinePacer.h"

#include <poll.h>
#include <sys/prctl.h>
#include <time.h>

#include <cerrno>

namespace veldw485::line {

namespace {
constexpr int64_t kNsPerSec = 1000000000;
}  // namespace

void LinePacer::PreciseWakeups() {
    // The default slack of 50 us on every wake-up is a sixth of a character time at
    // 38400 bit/s. The result is not needed: without it the waits are only less precise.
    (void)::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}

int64_t LinePacer::NowNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kNsPerSec + ts.tv_nsec;
}

void LinePacer::Restart() {
    _deadlineNs = NowNs();
}

void LinePacer::Wait(int64_t us) {
    const int64_t now = NowNs();
    if (now - _deadlineNs > _catchUpNs) {
        _deadlineNs = now;
    }
    _deadlineNs += us * 1000;
    SleepUntilDeadline();
}

bool LinePacer::WaitOrInput(int fd, int64_t us) {
    int64_t now = NowNs();
    if (now - _deadlineNs > _catchUpNs) {
        _deadlineNs = now;
    }
    _deadlineNs += us * 1000;
    pollfd pfd{fd, POLLIN, 0};
    while (now < _deadlineNs) {
        const int64_t left = _deadlineNs - now;
        timespec span{};
        span.tv_sec = static_cast<time_t>(left / kNsPerSec);
        span.tv_nsec = static_cast<long>(left % kNsPerSec);
        const int r = ::ppoll(&pfd, 1, &span, nullptr);
        if (r > 0) {
            _deadlineNs = NowNs();
            return true;
        }
        if (r < 0 && errno != EINTR) {
            // No way to watch the descriptor: the wait is an ordinary one.
            SleepUntilDeadline();
            return false;
        }
        now = NowNs();
    }
    return false;
}

void LinePacer::WaitNextTick(int64_t us) {
    const int64_t period = us * 1000;
    _deadlineNs = (NowNs() / period + 1) * period;
    SleepUntilDeadline();
}

int64_t LinePacer::UntilNextTick(int64_t us) const {
    const int64_t period = us * 1000;
    const int64_t now = NowNs();
    return ((now / period + 1) * period - now + 999) / 1000;
}

void LinePacer::SleepUntilDeadline() const {
    timespec until{};
    until.tv_sec = static_cast<time_t>(_deadlineNs / kNsPerSec);
    until.tv_nsec = static_cast<long>(_deadlineNs % kNsPerSec);
    // A signal does not end the wait early: the absolute deadline is simply waited for again.
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

}  // namespace veldw485::line
