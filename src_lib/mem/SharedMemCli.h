// The client side of one channel's shared memory group: attaches the segments and semaphore
// sets that the daemon created and offers the per-entry lock, semaphore and address
// operations of the data path.
#pragma once

#include <cstddef>
#include <vector>

#include "MemInfo.h"
#include "SettingLibDatas.h"

namespace veldwlib::shmem {

using vel::shm::MemInfo;

class SharedMemCli {
  public:
    explicit SharedMemCli(data::SettingLibDatas* sd);
    // Detaches what is still attached; segments and semaphores stay (they are the daemon's).
    virtual ~SharedMemCli();
    SharedMemCli(const SharedMemCli&) = delete;
    SharedMemCli& operator=(const SharedMemCli&) = delete;

    // Takes no when it is a configured group; returns the group number in use.
    int SetShmemNo(int no);
    int GetShmemNo() const { return shmem_no; }
    void ReSetShmemNo() { shmem_no = -1; }
    // True only after a successful Attatch and until the next Detatch or Destroy. A group
    // number alone does not mean attached: a failed Attatch keeps it.
    bool IsAttached() const { return _attached; }
    // Address of entry i while attached, else null.
    void* GetShmemAddr(int i) const;
    // Size of entry i's segment while attached, else 0.
    std::size_t SegmentSize(int i) const;

    // 0 attached; -1 no group number; -2 an entry could not be found, attached, or is smaller
    // than its role needs (everything attached before is undone).
    int Attatch();
    // Sum of the shmdt results, or -1 without a group number.
    int Detatch();
    // Detaches what is still attached and clears every entry; sum of the shmdt results, or -1.
    int Destroy();

    // Semaphore 0 of entry i: take 1 (waits without time limit), give 1, read the value.
    // -1 for an entry without a semaphore set.
    int SemLock(int i);
    int SemUnlock(int i);
    int GetSemVal(int i);
    // Takes 1 from semaphore 0 of entry i, waiting at most ms: 0 taken; ETIMEDOUT nothing
    // taken in time (also when a signal ended the wait); another errno (EIDRM, EINVAL: the
    // set was removed) or -1 for an entry without a semaphore set.
    int SemLockFor(int i, int ms);
    // Sets semaphore 0 of entry i to 0: 0, or -1.
    int ResetSemVal(int i);
    // True when entry i's segment is marked for removal or gone, or its semaphore set is
    // gone: the daemon has removed its objects.
    bool IsRemoved(int i) const;
    // The mutex at the start of entry i's segment: 0, the pthread error, or -1 for an entry
    // that is not attached.
    int MutexLock(int i);
    // As MutexLock, waiting at most ms: ETIMEDOUT when the mutex stayed locked.
    int MutexLockFor(int i, int ms);
    int MutexUnlock(int i);

  private:
    std::string _keyPath(const std::string& key, int i) const;
    int _createShmem(int i);
    int _createSemaphore(int i);
    void* _attatchShmem(int seg_id);
    int _detatchShmem(void* addr);
    bool _largeEnough(int i) const;
    int _semop(int i, short op);
    const MemInfo* _entry(int i) const;
    // The error line for a lock taken over from a process that ended inside it.
    void _reportRecovered(int i, bool recovered) const;

    data::SettingLibDatas* _sd;
    int shmem_no{-1};
    std::vector<MemInfo> memInfo;
    bool _attached{false};
};

}  // namespace veldwlib::shmem
