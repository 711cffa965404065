#include "ReceiveDataMem.h"

#include <cstring>

namespace veldwlib::shmem {

ReceiveDataMem::ReceiveDataMem() : _records() {
    for (int i = 0; i < _count; ++i) {
        vel::shm::ReceiveRecord& r = _records[i];
        r.time = 0;
        r.dalen = 0;
        r.statu = 0;
        r.da[0] = 0;
        _table[i] = &_xfer[i];
        // Handed out before any copy, so it must already read as "nothing received".
        ReturnDataCopy(i);
    }
}

bool ReceiveDataMem::IsNewestDateAndUpdate(int i, long t) const {
    return _valid(i) && t != _records[i].time;
}

void ReceiveDataMem::DataCopy(int i, unsigned short len, unsigned char status,
                              const unsigned char* src, long t) {
    if (!_valid(i)) {
        return;
    }
    vel::shm::ReceiveRecord& r = _records[i];
    // A length beyond the receive area cannot come from the line driver; never copy past it.
    const unsigned short n = len > vel::shm::kReceiveAreaSize
                                 ? static_cast<unsigned short>(vel::shm::kReceiveAreaSize)
                                 : len;
    if (n > 0) {
        std::memcpy(r.da, src, n);
    }
    r.da[n] = 0;
    r.dalen = n;
    r.statu = status;
    r.time = static_cast<int32_t>(t);
}

void ReceiveDataMem::ReturnDataCopy(int i) {
    if (!_valid(i)) {
        return;
    }
    _xfer[i].len = _records[i].dalen;
    _xfer[i].status = _records[i].statu;
    _xfer[i].data = _records[i].da;
}

}  // namespace veldwlib::shmem
