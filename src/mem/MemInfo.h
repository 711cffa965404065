// One entry of an attached shared memory group.
#pragma once

namespace veldw485::shmem {

struct MemInfo {
    int no;      // entry number, -1 after a reset
    int seg_id;  // segment identifier, negative when absent or failed
    void* addr;  // the segment in this process once attached, null otherwise
    int sem_id;  // semaphore set identifier, negative when absent or failed

    // Forgets the objects; the address is the attachment's business and stays.
    void Reset() {
        no = -1;
        seg_id = -1;
        sem_id = -1;
    }
};

}  // namespace veldw485::shmem
