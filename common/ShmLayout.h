// The byte layout of the shared memory segments exchanged between the daemon and its clients.
//
// Every segment starts with a process-shared mutex followed by a 32-bit flag word. The mutex
// slot is sizeof(pthread_mutex_t): 24 bytes on the 32-bit ARM target, 40 on x86_64; every
// later offset moves by the same amount on both sides because both are built from this file.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

namespace vel::shm {

inline constexpr int kMachineCount = 15;      // slave machines per line, numbered 0..14
inline constexpr int kSendBufferSize = 64;    // request bytes per machine
inline constexpr int kReceiveAreaSize = 436;  // reply bytes per machine
inline constexpr int kReceiveEntry = 0;       // entry of the receive segment in a group
inline constexpr int kControlEntry = 1;       // entry of the control segment in a group
inline constexpr int kMinEntries = 2;         // shared_indata_num must be at least this
// Largest shared_indata_num taken: each entry is a segment and a semaphore set, and only two
// have a role, so a larger value is a configuration error rather than a reason to allocate.
inline constexpr int kMaxEntries = 64;

// Control flag bits.
inline constexpr uint32_t kTransmitRequest = 0x00000001U;
inline constexpr uint32_t kComRequest = 0x00000010U;
inline constexpr uint32_t kTransmitAnswer = 0x00010000U;
inline constexpr uint32_t kComAnswer = 0x00100000U;
// Set together with a request bit by a client that wrote its identity into the identity block
// behind the request area (see ControlIdentity); clients that do not set it are served with
// the channel-wide settings.
inline constexpr uint32_t kIdentifiedRequest = 0x00000100U;
// Any flag word at or above this value has an answer waiting for its client.
inline constexpr uint32_t kAnswerThreshold = kTransmitAnswer;
// Receive flag bit: the records have been written at least once.
inline constexpr uint32_t kReceiveWritten = 0x00000001U;

// Results carried in the control segment.
inline constexpr int32_t kRequestSuccess = 0;
inline constexpr int32_t kRequestFailure = 1;
inline constexpr int32_t kComMode = 1;

// Machine status (com_flag / statu).
inline constexpr uint8_t kStatusNotPolled = 0;
inline constexpr uint8_t kStatusSelected = 1;
inline constexpr uint8_t kStatusComplete = 2;
inline constexpr uint8_t kStatusTimeout = 4;
inline constexpr uint8_t kStatusReadError = 24;

struct SegmentHeader {
    pthread_mutex_t mutex;
    uint32_t data_flags;
};

struct ReceiveRecord {
    int32_t time;
    uint16_t dalen;
    uint8_t statu;
    uint8_t da[kReceiveAreaSize + 1];  // reply bytes and their 0 terminator
};

struct ReceiveSegment {
    pthread_mutex_t mutex;
    uint32_t data_flags;
    int32_t time;
    ReceiveRecord records[kMachineCount];
};

struct ControlSegment {
    pthread_mutex_t mutex;
    uint32_t data_flags;
    int32_t mode;
    int32_t data_len;
    uint8_t data[kSendBufferSize + 1];  // request bytes and their 0 terminator
};

inline constexpr std::size_t kMutexSlot = sizeof(pthread_mutex_t);
inline constexpr std::size_t kRecordSize = sizeof(ReceiveRecord);
inline constexpr std::size_t kReceiveSegmentMin =
    offsetof(ReceiveSegment, records) + kMachineCount * sizeof(ReceiveRecord);
inline constexpr std::size_t kControlSegmentMin =
    offsetof(ControlSegment, data) + kSendBufferSize + 1;

// Behind the request area of a control segment configured larger than its minimum: who made
// the request in the slot, and whose request the answer in the slot belongs to. Identities are
// handed out by the daemon (order "user"); 0 is nobody.
struct ControlIdentity {
    uint32_t request_id;
    uint32_t answer_id;
    // Non-zero when the receive records were written for the cycle this answer reports.
    uint32_t answer_records;
};
inline constexpr std::size_t kControlIdentityOffset =
    (kControlSegmentMin + alignof(ControlIdentity) - 1) & ~(alignof(ControlIdentity) - 1);
// A control segment of at least this size carries identities.
inline constexpr std::size_t kControlSegmentWithIdentity =
    kControlIdentityOffset + sizeof(ControlIdentity);

inline ControlIdentity* IdentityOf(ControlSegment* ctl) {
    return reinterpret_cast<ControlIdentity*>(reinterpret_cast<unsigned char*>(ctl) +
                                              kControlIdentityOffset);
}

static_assert(sizeof(ReceiveRecord) == 444, "receive record is 444 bytes on every host");
static_assert(offsetof(ReceiveRecord, dalen) == 4 && offsetof(ReceiveRecord, statu) == 6 &&
                  offsetof(ReceiveRecord, da) == 7,
              "receive record fields");
static_assert(offsetof(SegmentHeader, data_flags) == kMutexSlot, "flags follow the mutex");
static_assert(offsetof(ReceiveSegment, data_flags) == kMutexSlot, "receive flags");
static_assert(offsetof(ControlSegment, data_flags) == kMutexSlot, "control flags");
static_assert(offsetof(ReceiveSegment, time) == kMutexSlot + 4, "receive time");
static_assert(offsetof(ReceiveSegment, records) == kMutexSlot + 8, "receive records");
static_assert(offsetof(ControlSegment, mode) == kMutexSlot + 4, "control mode");
static_assert(offsetof(ControlSegment, data_len) == kMutexSlot + 8, "control data_len");
static_assert(offsetof(ControlSegment, data) == kMutexSlot + 12, "control data");

#if defined(__arm__) && !defined(__aarch64__)
// On the 32-bit ARM target the layout is the reference layout, byte for byte, also in the
// target build with a 64-bit time_t (see CMakeLists.txt), which these assertions are checked
// under.
static_assert(sizeof(time_t) == 8, "the ARM build uses a 64-bit time_t");
static_assert(kMutexSlot == 24, "ARM mutex is 24 bytes");
static_assert(offsetof(ReceiveSegment, data_flags) == 24, "ARM data_flags at 24");
static_assert(offsetof(ReceiveSegment, time) == 28, "ARM time at 28");
static_assert(offsetof(ReceiveSegment, records) == 32, "ARM records at 32");
static_assert(offsetof(ControlSegment, mode) == 28, "ARM mode at 28");
static_assert(offsetof(ControlSegment, data_len) == 32, "ARM data_len at 32");
static_assert(offsetof(ControlSegment, data) == 36, "ARM data at 36");
static_assert(kReceiveSegmentMin == 6692, "ARM receive segment minimum");
static_assert(kControlSegmentMin == 101, "ARM control segment minimum");
static_assert(kControlIdentityOffset == 104 && kControlSegmentWithIdentity == 116,
              "ARM identity block");
#endif

// Zeroes the mutex slot at the start of a segment and initialises a robust, process-shared
// mutex there. Returns 0 or the pthread error.
int InitSegmentMutex(void* segment);

// Locks the mutex at the start of a segment. A mutex whose owner died is made consistent
// again; *recovered tells the caller so it can log it. Returns 0 or the pthread error.
int LockSegmentMutex(void* segment, bool* recovered);
// As LockSegmentMutex, waiting at most ms milliseconds: ETIMEDOUT when the mutex stayed
// locked. The wait ends on a monotonic deadline, so that a step of the wall clock neither
// stretches nor cuts it.
int LockSegmentMutexFor(void* segment, int ms, bool* recovered);
int UnlockSegmentMutex(void* segment);

}  // namespace vel::shm
