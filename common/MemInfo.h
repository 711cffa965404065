// One entry of an attached shared memory group, as the daemon and the library each keep it.
#pragma once

namespace vel::shm {

struct MemInfo {
    int no{-1};           // entry number, -1 after a reset
    int seg_id{-1};       // segment identifier, negative when absent or failed
    void* addr{nullptr};  // the segment in this process once attached, null otherwise
    int sem_id{-1};       // semaphore set identifier, negative when absent or failed

    // Forgets the objects; the address is the attachment's business and stays.
    void Reset() {
        no = -1;
        seg_id = -1;
        sem_id = -1;
    }
};

}  // namespace vel::shm
