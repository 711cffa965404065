#include "SharedMem.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "Log.h"
#include "ShmLayout.h"
#include "TextUtil.h"
#include "Trace.h"

namespace veldw485::shmem {

namespace {

// The caller defines this union for semctl (see semctl(2)).
union SemUn {
    int val;
    semid_ds* buf;
    unsigned short* array;
};

constexpr unsigned int kKeyDirMode = 0775;
constexpr mode_t kKeyFileMode = 0644;
constexpr int kObjectPermission = 0600;

}  // namespace

SharedMem::SharedMem() : _sd(data::SettingDatas::get_instance()), _logger(GetLogger()) {
    const int count = _sd != nullptr ? _sd->getConfShmemInGrpNum() : 0;
    // Records start without objects (-1), not zero-filled: 0 is a valid System V identifier,
    // and removing a group that was never created must not remove somebody else's object 0.
    memInfo.assign(count > 0 ? static_cast<std::size_t>(count) : 0U, MemInfo{});
}

SharedMem::~SharedMem() = default;

int SharedMem::SetShmemNo(int no) {
    if (_sd != nullptr && no >= 0 && no < _sd->getConfShmemGrpNum()) {
        _no = no;
    }
    return _no;
}

int SharedMem::GetShmemNo() const {
    return _no;
}

int SharedMem::CreateShmem() {
    if (_no < 0) {
        return -1;
    }
    for (std::size_t i = 0; i < memInfo.size(); ++i) {
        const int entry = static_cast<int>(i);
        const int seg = _createShmem(entry);
        VLOG_INFO(_logger, "[{}:{}]  SHMEM : create[{}] sig_id = {}", entry, seg);
        // The semaphore set is made (or one left behind taken over) only by the daemon that
        // holds the entry's segment: another daemon's set is never touched.
        int sem = -1;
        if (seg >= 0) {
            sem = _createSemaphore(entry);
            VLOG_INFO(_logger, "[{}:{}]  SHMEM : create[{}] sem_id = {}", entry, sem);
        }
        memInfo[i].no = entry;
        memInfo[i].seg_id = seg;
        memInfo[i].sem_id = sem;
        if (seg < 0 || sem < 0) {
            // A half-made group is of no use to anyone: remove what this call made so far,
            // which is all that the records hold.
            for (std::size_t j = 0; j <= i; ++j) {
                if (memInfo[j].seg_id >= 0) {
                    (void)_releaseShmem(memInfo[j].seg_id);
                }
                if (memInfo[j].sem_id >= 0) {
                    (void)_closeSemaphore(memInfo[j].sem_id);
                }
                memInfo[j].Reset();
            }
            return -2;
        }
    }
    return 0;
}

int SharedMem::ActiveShmem() {
    if (_no < 0) {
        return -1;
    }
    int result = 0;
    for (std::size_t i = 0; i < memInfo.size(); ++i) {
        MemInfo& info = memInfo[i];
        info.addr = _attatchShmem(info.seg_id);
        const int err = errno;
        VLOG_INFO(_logger, "[{}:{}]  SHMEM : active[{}] sig_id = {}", i, info.seg_id);
        if (info.addr == nullptr) {
            VLOG_ERROR(_logger, "[{}:{}]  SHMEM : active[{}] attach error : errno = {}", i, err);
            result = -2;
        }
    }
    return result;
}

int SharedMem::DeactiveShmem() {
    if (_no < 0) {
        return -1;
    }
    int sum = 0;
    for (std::size_t i = 0; i < memInfo.size(); ++i) {
        MemInfo& info = memInfo[i];
        if (info.seg_id < 0) {
            continue;
        }
        const int r = _detatchShmem(info.addr);
        VLOG_INFO(_logger, "[{}:{}]  SHMEM : deactive[{}] sig_id = {} ret = {}", i, info.seg_id, r);
        if (r == 0) {
            // The mapping is gone; keeping its address would invite writes through it.
            info.addr = nullptr;
        }
        sum += r;
    }
    return sum;
}

int SharedMem::DestroyShmem() {
    return _removeObjects(true);
}

int SharedMem::RemoveInUse() {
    return _removeObjects(false);
}

int SharedMem::_removeObjects(bool forget) {
    if (_no < 0) {
        return -1;
    }
    int sum = 0;
    for (std::size_t i = 0; i < memInfo.size(); ++i) {
        MemInfo& info = memInfo[i];
        if (info.seg_id < 0) {
            continue;
        }
        int r = _releaseShmem(info.seg_id);
        VLOG_INFO(_logger, "[{}:{}]  SHMEM : release[{}] sig_id = {} ret = {}", i, info.seg_id, r);
        sum += r;
        r = _closeSemaphore(info.sem_id);
        VLOG_INFO(_logger, "[{}:{}]  SHMEM : release[{}] sem_id = {} ret = {}", i, info.sem_id, r);
        sum += r;
        if (forget) {
            info.Reset();
        }
    }
    return sum;
}

int SharedMem::SemUnlock(int i) {
    if (!_validEntry(i)) {
        return -1;
    }
    sembuf op{};
    op.sem_num = 0;
    op.sem_op = 1;
    op.sem_flg = 0;
    return ::semop(memInfo[static_cast<std::size_t>(i)].sem_id, &op, 1);
}

int SharedMem::SemWaitFor(int i, int64_t us) {
    if (!_validEntry(i)) {
        return -1;
    }
    sembuf op{};
    op.sem_num = 0;
    op.sem_op = -1;
    op.sem_flg = 0;
    timespec wait{};
    wait.tv_sec = static_cast<time_t>(us / 1000000);
    wait.tv_nsec = static_cast<long>(us % 1000000) * 1000;
    if (::semtimedop(memInfo[static_cast<std::size_t>(i)].sem_id, &op, 1, &wait) == 0) {
        return 0;
    }
    return errno == EAGAIN || errno == EINTR ? ETIMEDOUT : errno;
}

int SharedMem::GetSemVal(int i) {
    if (!_validEntry(i)) {
        return -1;
    }
    return ::semctl(memInfo[static_cast<std::size_t>(i)].sem_id, 0, GETVAL);
}

int SharedMem::ResetSemVal(int i) {
    if (!_validEntry(i)) {
        return -1;
    }
    SemUn arg{};
    arg.val = 0;
    return ::semctl(memInfo[static_cast<std::size_t>(i)].sem_id, 0, SETVAL, arg);
}

int SharedMem::MutexLock(int i) {
    void* addr = GetShmemAddr(i);
    if (addr == nullptr) {
        return -1;
    }
    bool recovered = false;
    const int rc = vel::shm::LockSegmentMutex(addr, &recovered);
    if (recovered) {
        VLOG_WARN(_logger, "[{}:{}]  SHMEM : mutex[{}] of group {} : owner died, lock recovered", i,
                  _no);
    }
    return rc == 0 ? 0 : -1;
}

int SharedMem::MutexUnlock(int i) {
    void* addr = GetShmemAddr(i);
    if (addr == nullptr) {
        return -1;
    }
    return vel::shm::UnlockSegmentMutex(addr) == 0 ? 0 : -1;
}

void* SharedMem::GetShmemAddr(int i) {
    return _validEntry(i) ? memInfo[static_cast<std::size_t>(i)].addr : nullptr;
}

std::size_t SharedMem::SegmentSize(int i) const {
    if (!_validEntry(i)) {
        return 0;
    }
    shmid_ds ds{};
    if (::shmctl(memInfo[static_cast<std::size_t>(i)].seg_id, IPC_STAT, &ds) != 0) {
        return 0;
    }
    return ds.shm_segsz;
}

int SharedMem::_makeKey(int i, const std::string& list_key, key_t* key) {
    if (!_validEntry(i)) {
        return -1;
    }
    const std::string dir = _sd->getConfStr(_sd->key_shared_key_dir);
    if (vel::text::MakeDirs(dir, kKeyDirMode) != 0) {
        return -2;
    }
    const std::string path = dir + "/" + _sd->getConfShmemStr(_no, list_key, i);
    // The file only gives ftok an inode. The directory is group-writable, so a link planted
    // there is refused rather than followed, and an existing file is left as it is; O_NONBLOCK
    // keeps a planted FIFO from holding the start.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                          kKeyFileMode);
    if (fd < 0) {
        return -4;
    }
    ::close(fd);
    *key = ::ftok(path.c_str(), _sd->getConfShmemInt(_no, _sd->key_sh_id, i));
    if (*key == static_cast<key_t>(-1)) {
        VERROR("Failed to acquire key");
        return -5;
    }
    return 0;
}

int SharedMem::_createShmem(int i) {
    key_t key = 0;
    const int rc = _makeKey(i, _sd->key_ipc_key, &key);
    if (rc != 0) {
        return rc;
    }
    const int32_t size = _sd->getConfShmemInt(_no, _sd->key_shmem_size, i);
    // A segment smaller than its layout would be written past its end by the worker.
    if (size <= 0 || static_cast<std::size_t>(size) < _minimumSize(i)) {
        VERROR("Failed to acquire shmem size");
        return -6;
    }
    int id =
        ::shmget(key, static_cast<std::size_t>(size), IPC_CREAT | IPC_EXCL | kObjectPermission);
    if (id < 0 && errno == EEXIST) {
        id = _replaceStaleSegment(i, key, static_cast<std::size_t>(size));
    }
    if (id < 0) {
        VERROR("Failed to acquire segment");
        return -7;
    }
    return id;
}

bool SharedMem::_segmentInUse(const shmid_ds& ds) {
    if (ds.shm_nattch != 0) {
        return true;
    }
    // Never attached: the segment of a daemon that is still creating its groups, unless the
    // process that created it is gone.
    return ds.shm_atime == 0 && ds.shm_cpid > 0 && (::kill(ds.shm_cpid, 0) == 0 || errno == EPERM);
}

int SharedMem::_replaceStaleSegment(int i, key_t key, std::size_t size) {
    // Only a segment that nobody uses may go: one left by a daemon that was killed or crashed.
    // One in use belongs to another daemon, or to a client of a daemon that ended: it stays.
    const int old = ::shmget(key, 0, 0);
    shmid_ds ds{};
    if (old < 0 || ::shmctl(old, IPC_STAT, &ds) != 0) {
        return -1;
    }
    if (_segmentInUse(ds)) {
        VERROR("dwmid: group " << _no << " entry " << i
                               << ": its shared memory segment is in use by another process "
                                  "(another dwmid serving, or a client still attached to the "
                                  "segments of a daemon that ended); nothing of it is removed");
        VLOG_WARN(_logger,
                  "[{}:{}]  SHMEM : group {} entry {} : segment in use by another process "
                  "(sig_id = {}, attached {})",
                  _no, i, old, ds.shm_nattch);
        return -1;
    }
    if (::shmctl(old, IPC_RMID, nullptr) != 0) {
        return -1;
    }
    VLOG_WARN(_logger,
              "[{}:{}]  SHMEM : group {} entry {} : removed a segment left behind (sig_id = {})",
              _no, i, old);
    return ::shmget(key, size, IPC_CREAT | IPC_EXCL | kObjectPermission);
}

int SharedMem::_createSemaphore(int i) {
    key_t key = 0;
    const int rc = _makeKey(i, _sd->key_sem_key, &key);
    if (rc != 0) {
        return rc;
    }
    int id = ::semget(key, 1, IPC_CREAT | IPC_EXCL | kObjectPermission);
    if (id < 0 && errno == EEXIST) {
        // The caller holds this entry's segment, so a set with the key is one left behind by a
        // daemon that ended (or made by a client since): it is taken over and reset.
        id = ::semget(key, 1, kObjectPermission);
    }
    if (id < 0) {
        VERROR("Failed to acquire semapore");
        return -6;
    }
    unsigned short values[1] = {0};
    SemUn arg{};
    arg.array = values;
    const int r = ::semctl(id, 0, SETALL, arg);
    VTRACE("semctl SETALL ret = " << r);
    return id;
}

void* SharedMem::_attatchShmem(int seg_id) {
    void* addr = ::shmat(seg_id, nullptr, 0);
    return addr == reinterpret_cast<void*>(-1) ? nullptr : addr;
}

int SharedMem::_detatchShmem(void* addr) {
    if (addr == nullptr) {
        return -1;
    }
    return ::shmdt(addr) == 0 ? 0 : -1;
}

int SharedMem::_releaseShmem(int seg_id) {
    return ::shmctl(seg_id, IPC_RMID, nullptr) == 0 ? 0 : -1;
}

int SharedMem::_closeSemaphore(int sem_id) {
    if (::semctl(sem_id, 0, IPC_RMID) != 0) {
        VERROR("Failed to close semaphore");
        return -1;
    }
    return 0;
}

bool SharedMem::_validEntry(int i) const {
    return i >= 0 && static_cast<std::size_t>(i) < memInfo.size();
}

std::size_t SharedMem::_minimumSize(int i) const {
    if (i == vel::shm::kReceiveEntry) {
        return vel::shm::kReceiveSegmentMin;
    }
    if (i == vel::shm::kControlEntry) {
        return vel::shm::kControlSegmentMin;
    }
    // Unused entries still carry a mutex and a flag word.
    return sizeof(vel::shm::SegmentHeader);
}

}  // namespace veldw485::shmem
