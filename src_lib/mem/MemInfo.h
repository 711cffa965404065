// One entry of an attached shared memory group.
#pragma once

namespace veldwlib::shmem {

class MemInfo {
  public:
    MemInfo() = default;
    // Forgets the identifiers; the address is left as it is.
    void clear();

    int no{-1};
    int seg_id{-1};
    void* addr{nullptr};
    int sem_id{-1};
};

}  // namespace veldwlib::shmem
