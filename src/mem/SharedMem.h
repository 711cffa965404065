// The daemon's owner of the System V objects of one shared memory group (one RS-485 channel):
// key files, segments and semaphore sets, their attachment, and the per-entry lock, semaphore
// and address operations of the channel's worker.
#pragma once

#include <sys/shm.h>
#include <sys/types.h>

#include <spdlog/spdlog.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "MemInfo.h"
#include "SettingDatas.h"

namespace veldw485::shmem {

using vel::shm::MemInfo;

class SharedMem {
  public:
    SharedMem();
    virtual ~SharedMem();
    SharedMem(const SharedMem&) = delete;
    SharedMem& operator=(const SharedMem&) = delete;

    // Binds the object to group no when 0 <= no < number of groups; returns the group held.
    int SetShmemNo(int no);
    int GetShmemNo() const;
    // 0 created, -1 no group, -2 an entry failed (the whole group is removed again).
    int CreateShmem();
    // 0 attached, -1 no group, -2 an entry could not be attached (it keeps no address).
    int ActiveShmem();
    // Sum of the detach results, -1 without group.
    int DeactiveShmem();
    // Sum of the removal results, -1 without group.
    int DestroyShmem();
    // The same for a group that a worker still uses: the records stay as they are (the worker
    // reads them), the attached segments live on until the process exits, and the worker's
    // semaphore operations fail harmlessly on the removed sets.
    int RemoveInUse();

    // Entry operations; an entry outside the group gives -1 (or no address).
    int SemUnlock(int i);
    int GetSemVal(int i);
    int ResetSemVal(int i);
    // Takes 1 from semaphore 0 of entry i, waiting at most us: 0 taken; ETIMEDOUT nothing
    // came in time (or a signal ended the wait); another errno, or -1, when the wait cannot
    // be made (the set is gone).
    int SemWaitFor(int i, int64_t us);
    // 0 locked (also after recovering from a dead owner), -1 not locked.
    int MutexLock(int i);
    // 0 unlocked, -1 failed.
    int MutexUnlock(int i);
    void* GetShmemAddr(int i);
    // Size of entry i's segment as created, 0 for an entry without one.
    std::size_t SegmentSize(int i) const;

  private:
    // Steps shared by segments and semaphores: key directory, key file from the list named
    // list_key, ftok. Returns 0 with *key set, or -1, -2, -4, -5.
    int _makeKey(int i, const std::string& list_key, key_t* key);
    int _createShmem(int i);
    int _removeObjects(bool forget);
    // shmget of a key whose segment already exists: removes it when no process uses it.
    int _replaceStaleSegment(int i, key_t key, std::size_t size);
    // Attached by some process, or not yet attached by the live daemon that created it.
    static bool _segmentInUse(const shmid_ds& ds);
    int _createSemaphore(int i);
    void* _attatchShmem(int seg_id);
    int _detatchShmem(void* addr);
    int _releaseShmem(int seg_id);
    int _closeSemaphore(int sem_id);
    bool _validEntry(int i) const;
    std::size_t _minimumSize(int i) const;

    data::SettingDatas* _sd;
    std::shared_ptr<spdlog::logger> _logger;
    int _no{-1};
    std::vector<MemInfo> memInfo;
};

}  // namespace veldw485::shmem
