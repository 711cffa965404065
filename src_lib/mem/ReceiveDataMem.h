// A process's private copy of one channel's receive records, and the xfer_data records that
// the library hands to the application, which point into that copy.
#pragma once

#include <cstdint>

#include "ShmLayout.h"
#include "PublicApi.h"

namespace veldwlib::shmem {

class ReceiveDataMem {
  public:
    ReceiveDataMem();
    virtual ~ReceiveDataMem() = default;
    // The table points into the object itself, so it never moves.
    ReceiveDataMem(const ReceiveDataMem&) = delete;
    ReceiveDataMem& operator=(const ReceiveDataMem&) = delete;

    bool IsUpdateDatas(long t) const { return t != _lastUpdate; }
    void UpdateDatas(long t) { _lastUpdate = t; }
    // True when t differs from record i's stamp; stores nothing.
    bool IsNewestDateAndUpdate(int i, long t) const;
    // Record i := len bytes from src (at most the receive area), status, a 0 byte, stamp t.
    void DataCopy(int i, unsigned short len, unsigned char status, const unsigned char* src,
                  long t);
    // xfer_data i := record i.
    void ReturnDataCopy(int i);

    xfer_data** Table() { return _table; }
    xfer_data* Transfer(int i) { return _valid(i) ? &_xfer[i] : nullptr; }
    int Count() const { return _count; }

  private:
    static bool _valid(int i) { return i >= 0 && i < vel::shm::kMachineCount; }

    long _lastUpdate{0};
    int _count{vel::shm::kMachineCount};
    vel::shm::ReceiveRecord _records[vel::shm::kMachineCount];
    xfer_data* _table[vel::shm::kMachineCount];
    xfer_data _xfer[vel::shm::kMachineCount];
};

}  // namespace veldwlib::shmem
