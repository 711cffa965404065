#include "OwnRecords.h"

#include <algorithm>
#include <cstring>

namespace veldwlib::shmem {

namespace shm = vel::shm;

OwnRecords::OwnRecords() : _records() {
    Reset();
}

void OwnRecords::Reset() {
    _valid = false;
    _stamp = 0;
    for (shm::ReceiveRecord& r : _records) {
        r.time = 0;
        r.dalen = 0;
        r.statu = shm::kStatusNotPolled;
        r.da[0] = 0;
    }
}

void OwnRecords::Capture(const shm::ReceiveSegment& rcv) {
    _stamp = rcv.time;
    for (int m = 0; m < shm::kMachineCount; ++m) {
        const shm::ReceiveRecord& from = rcv.records[m];
        shm::ReceiveRecord& to = _records[m];
        to.time = from.time;
        to.statu = from.statu;
        // Status 0 or 1: the cycle did not poll the machine, and the segment holds whatever
        // the channel's last poll of it brought, possibly for another process.
        if (from.statu < shm::kStatusComplete) {
            continue;
        }
        const auto len = std::min<uint16_t>(from.dalen, shm::kReceiveAreaSize);
        std::memcpy(to.da, from.da, len);
        to.da[len] = 0;
        to.dalen = len;
    }
    _valid = true;
}

}  // namespace veldwlib::shmem
