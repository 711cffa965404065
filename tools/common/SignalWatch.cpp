#include "SignalWatch.h"

#include <signal.h>

#include <cerrno>

namespace rs485tools {

namespace {

volatile sig_atomic_t g_stop = 0;

void OnStop(int) {
    g_stop = 1;
}

}  // namespace

SignalWatch::SignalWatch() {
    struct sigaction sa {};
    sa.sa_handler = OnStop;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESETHAND | SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

SignalWatch::~SignalWatch() {
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
}

bool SignalWatch::Stopped() {
    return g_stop != 0;
}

bool SignalWatch::SleepUntil(const timespec& until) const {
    while (!Stopped()) {
        const int rc = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
        if (rc == 0) {
            return true;
        }
        if (rc != EINTR) {
            return !Stopped();
        }
    }
    return false;
}

}  // namespace rs485tools
