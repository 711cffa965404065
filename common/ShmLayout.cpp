#include "ShmLayout.h"

#include <cerrno>
#include <cstring>

namespace vel::shm {

namespace {
constexpr long kNanosPerMilli = 1000000L;
constexpr long kNanosPerSecond = 1000000000L;

// This tool chain's ThreadSanitizer does not intercept pthread_mutex_clocklock and would not
// see the lock taken: its builds wait on CLOCK_REALTIME deadlines instead.
#if defined(__SANITIZE_THREAD__)
constexpr clockid_t kLockClock = CLOCK_REALTIME;
int LockUntil(pthread_mutex_t* mutex, const timespec* until) {
    return pthread_mutex_timedlock(mutex, until);
}
#else
constexpr clockid_t kLockClock = CLOCK_MONOTONIC;
int LockUntil(pthread_mutex_t* mutex, const timespec* until) {
    return pthread_mutex_clocklock(mutex, kLockClock, until);
}
#endif

// A lock whose previous owner died inside its critical section is made usable again: the
// data it guards is a single flag word and a request slot, which the protocol tolerates as
// they are.
int Recover(pthread_mutex_t* mutex, int rc, bool* recovered) {
    if (recovered != nullptr) {
        *recovered = rc == EOWNERDEAD;
    }
    return rc == EOWNERDEAD ? pthread_mutex_consistent(mutex) : rc;
}
}  // namespace

int InitSegmentMutex(void* segment) {
    std::memset(segment, 0, kMutexSlot);
    pthread_mutexattr_t attr;
    int rc = pthread_mutexattr_init(&attr);
    if (rc != 0) {
        return rc;
    }
    rc = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    if (rc == 0) {
        rc = pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    }
    if (rc == 0) {
        rc = pthread_mutex_init(static_cast<pthread_mutex_t*>(segment), &attr);
    }
    pthread_mutexattr_destroy(&attr);
    return rc;
}

int LockSegmentMutex(void* segment, bool* recovered) {
    auto* mutex = static_cast<pthread_mutex_t*>(segment);
    return Recover(mutex, pthread_mutex_lock(mutex), recovered);
}

int LockSegmentMutexFor(void* segment, int ms, bool* recovered) {
    timespec until{};
    ::clock_gettime(kLockClock, &until);
    until.tv_sec += ms / 1000;
    until.tv_nsec += (ms % 1000) * kNanosPerMilli;
    if (until.tv_nsec >= kNanosPerSecond) {
        until.tv_sec += 1;
        until.tv_nsec -= kNanosPerSecond;
    }
    auto* mutex = static_cast<pthread_mutex_t*>(segment);
    return Recover(mutex, LockUntil(mutex, &until), recovered);
}

int UnlockSegmentMutex(void* segment) {
    return pthread_mutex_unlock(static_cast<pthread_mutex_t*>(segment));
}

}  // namespace vel::shm
