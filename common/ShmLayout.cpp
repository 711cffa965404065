#include "ShmLayout.h"

#include <cerrno>
#include <cstring>

namespace vel::shm {

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
    int rc = pthread_mutex_lock(mutex);
    if (recovered != nullptr) {
        *recovered = false;
    }
    if (rc == EOWNERDEAD) {
        // The previous owner died inside its critical section; the data it guarded is a
        // single flag word and a request slot, which the protocol tolerates as they are.
        rc = pthread_mutex_consistent(mutex);
        if (recovered != nullptr) {
            *recovered = true;
        }
    }
    return rc;
}

int UnlockSegmentMutex(void* segment) {
    return pthread_mutex_unlock(static_cast<pthread_mutex_t*>(segment));
}

}  // namespace vel::shm
