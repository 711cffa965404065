/* clockshim: preloaded into a test client so that CLOCK_REALTIME reads one hour ahead of the
 * system's clock, as after a forward step of the wall clock. A wait whose deadline is taken
 * from CLOCK_REALTIME then lasts an hour longer than asked; one on CLOCK_MONOTONIC does not
 * notice. Tests only; not installed. */
#include <dlfcn.h>
#include <time.h>

enum { kStepSeconds = 3600 };

typedef int (*ClockGettimeFn)(clockid_t, struct timespec*);

int clock_gettime(clockid_t id, struct timespec* ts) {
    static ClockGettimeFn real;
    if (real == NULL) {
        real = (ClockGettimeFn)dlsym(RTLD_NEXT, "clock_gettime");
    }
    const int rc = real(id, ts);
    if (rc == 0 && id == CLOCK_REALTIME) {
        ts->tv_sec += kStepSeconds;
    }
    return rc;
}
