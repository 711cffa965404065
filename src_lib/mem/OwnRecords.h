// The receive records of this process's own cycles on one channel. Other processes may cycle
// the channel between two of ours with other machines and settings; what this process reads
// after its cycle is what its cycle produced, and a machine its cycle did not poll keeps the
// reply this process saw last, not another process's.
#pragma once

#include <cstdint>

#include "ShmLayout.h"

namespace veldwlib::shmem {

class OwnRecords {
  public:
    OwnRecords();

    // Takes the records of the cycle that rcv holds, which is this process's own.
    void Capture(const vel::shm::ReceiveSegment& rcv);
    // Back to no own cycle: readers see the channel's newest records again.
    void Reset();
    // True once a cycle of this process was captured.
    bool Valid() const { return _valid; }
    int32_t Stamp() const { return _stamp; }
    const vel::shm::ReceiveRecord& Record(int mc) const { return _records[mc]; }

  private:
    bool _valid{false};
    int32_t _stamp{0};
    vel::shm::ReceiveRecord _records[vel::shm::kMachineCount];
};

}  // namespace veldwlib::shmem
