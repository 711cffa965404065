#include "SharedMemCli.h"

#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>

#include <cerrno>
#include <ctime>

#include "ShmLayout.h"
#include "Trace.h"

namespace veldwlib::shmem {

namespace {
constexpr int kPermission = 0600;
void* const kShmatFailed = reinterpret_cast<void*>(-1);
constexpr long kNanosPerMilli = 1000000L;

// The caller defines this union for semctl (see semctl(2)).
union SemUn {
    int val;
    semid_ds* buf;
    unsigned short* array;
};

timespec Millis(int ms) {
    timespec t{};
    t.tv_sec = ms / 1000;
    t.tv_nsec = (ms % 1000) * kNanosPerMilli;
    return t;
}
}  // namespace

SharedMemCli::SharedMemCli(data::SettingLibDatas* sd) : _sd(sd) {
    const int entries = _sd->getConfShmemInGrpNum();
    // Beyond the largest item count the daemon accepts nothing can be attached anyway.
    const int kept = entries > vel::shm::kMaxEntries ? vel::shm::kMaxEntries : entries;
    memInfo.resize(kept > 0 ? static_cast<std::size_t>(kept) : 0U);
}

SharedMemCli::~SharedMemCli() {
    for (MemInfo& e : memInfo) {
        if (e.addr != nullptr) {
            _detatchShmem(e.addr);
        }
    }
}

int SharedMemCli::SetShmemNo(int no) {
    if (no >= 0 && no < _sd->getConfShmemGrpNum()) {
        shmem_no = no;
    }
    return shmem_no;
}

const MemInfo* SharedMemCli::_entry(int i) const {
    if (i < 0 || static_cast<std::size_t>(i) >= memInfo.size()) {
        return nullptr;
    }
    return &memInfo[static_cast<std::size_t>(i)];
}

void* SharedMemCli::GetShmemAddr(int i) const {
    const MemInfo* e = _entry(i);
    return _attached && e != nullptr ? e->addr : nullptr;
}

std::string SharedMemCli::_keyPath(const std::string& key, int i) const {
    return _sd->getConfStr(_sd->key_shared_key_dir) + "/" + _sd->getConfShmemStr(shmem_no, key, i);
}

int SharedMemCli::_createShmem(int i) {
    if (_entry(i) == nullptr) {
        return -1;
    }
    const key_t key = ::ftok(_keyPath(_sd->key_ipc_key, i).c_str(),
                             _sd->getConfShmemInt(shmem_no, _sd->key_sh_id, i));
    if (key == -1) {
        VERROR("Failed to acquire key");
        return -5;
    }
    // The daemon creates the segment; a client only looks it up.
    const int id = ::shmget(key, 0, 0);
    if (id < 0) {
        VERROR_AT(shmem_no << ":: Failed to acquire segment");
        return -7;
    }
    return id;
}

int SharedMemCli::_createSemaphore(int i) {
    if (_entry(i) == nullptr) {
        return -1;
    }
    const key_t key = ::ftok(_keyPath(_sd->key_sem_key, i).c_str(),
                             _sd->getConfShmemInt(shmem_no, _sd->key_sh_id, i));
    if (key == -1) {
        VERROR_AT(shmem_no << ":: Failed to acquire key");
        return -5;
    }
    const int id = ::semget(key, 1, IPC_CREAT | kPermission);
    if (id < 0) {
        VERROR_AT(shmem_no << ":: Failed to acquire semapore");
        return -6;
    }
    VTRACE(shmem_no << ":: semaphore " << i << " value=" << ::semctl(id, 0, GETVAL));
    return id;
}

void* SharedMemCli::_attatchShmem(int seg_id) {
    return ::shmat(seg_id, nullptr, 0);
}

int SharedMemCli::_detatchShmem(void* addr) {
    return ::shmdt(addr);
}

std::size_t SharedMemCli::SegmentSize(int i) const {
    if (!_attached || GetShmemAddr(i) == nullptr) {
        return 0;
    }
    shmid_ds ds{};
    if (::shmctl(memInfo[static_cast<std::size_t>(i)].seg_id, IPC_STAT, &ds) != 0) {
        return 0;
    }
    return ds.shm_segsz;
}

bool SharedMemCli::_largeEnough(int i) const {
    std::size_t need = 0;
    if (i == vel::shm::kReceiveEntry) {
        need = vel::shm::kReceiveSegmentMin;
    } else if (i == vel::shm::kControlEntry) {
        need = vel::shm::kControlSegmentMin;
    }
    shmid_ds ds{};
    return ::shmctl(memInfo[static_cast<std::size_t>(i)].seg_id, IPC_STAT, &ds) == 0 &&
           ds.shm_segsz >= need;
}

int SharedMemCli::Attatch() {
    if (shmem_no < 0) {
        return -1;
    }
    if (_attached) {
        return 0;
    }
    // Undoes entries 0..end-1, so that nothing half attached stays addressable.
    auto undo = [this](std::size_t end) {
        for (std::size_t j = 0; j < end; ++j) {
            if (memInfo[j].addr != nullptr) {
                _detatchShmem(memInfo[j].addr);
                memInfo[j].addr = nullptr;
            }
            memInfo[j].Reset();
        }
    };
    for (std::size_t n = 0; n < memInfo.size(); ++n) {
        const int i = static_cast<int>(n);
        const int seg = _createShmem(i);
        const int sem = _createSemaphore(i);
        memInfo[n].no = i;
        memInfo[n].seg_id = seg;
        memInfo[n].sem_id = sem;
        memInfo[n].addr = nullptr;
        if (seg < 0 || sem < 0) {
            undo(n + 1);
            return -2;
        }
        void* addr = _attatchShmem(seg);
        if (addr == kShmatFailed) {
            VERROR_AT(shmem_no << ":: Failed to attach segment");
            undo(n + 1);
            return -2;
        }
        memInfo[n].addr = addr;
        // A segment smaller than its role would let the data path write past its end.
        if (!_largeEnough(i)) {
            VERROR_AT(shmem_no << ":: Segment " << i << " is too small");
            undo(n + 1);
            return -2;
        }
    }
    _attached = true;
    return 0;
}

int SharedMemCli::Detatch() {
    if (shmem_no < 0) {
        return -1;
    }
    // A detached address is forgotten at once: detaching it again later could hit another
    // mapping that has since been placed there.
    int sum = 0;
    for (MemInfo& e : memInfo) {
        if (e.addr != nullptr) {
            sum += _detatchShmem(e.addr);
            e.addr = nullptr;
        }
    }
    _attached = false;
    return sum;
}

int SharedMemCli::Destroy() {
    if (shmem_no < 0) {
        return -1;
    }
    const int sum = Detatch();
    for (MemInfo& e : memInfo) {
        e.Reset();
    }
    return sum;
}

int SharedMemCli::_semop(int i, short op) {
    const MemInfo* e = _entry(i);
    if (e == nullptr || e->sem_id < 0) {
        return -1;
    }
    sembuf sb{};
    sb.sem_num = 0;
    sb.sem_op = op;
    sb.sem_flg = 0;
    int rc;
    // A signal must not end the wait early: the answer would then stay uncollected and be
    // taken for the answer to the next request.
    do {
        rc = ::semop(e->sem_id, &sb, 1);
    } while (rc != 0 && errno == EINTR);
    return rc;
}

int SharedMemCli::SemLock(int i) {
    return _semop(i, -1);
}

int SharedMemCli::SemUnlock(int i) {
    return _semop(i, 1);
}

int SharedMemCli::SemLockFor(int i, int ms) {
    const MemInfo* e = _entry(i);
    if (e == nullptr || e->sem_id < 0) {
        return -1;
    }
    sembuf sb{};
    sb.sem_num = 0;
    sb.sem_op = -1;
    sb.sem_flg = 0;
    const timespec wait = Millis(ms);
    if (::semtimedop(e->sem_id, &sb, 1, &wait) == 0) {
        return 0;
    }
    return errno == EAGAIN || errno == EINTR ? ETIMEDOUT : errno;
}

int SharedMemCli::ResetSemVal(int i) {
    const MemInfo* e = _entry(i);
    if (e == nullptr || e->sem_id < 0) {
        return -1;
    }
    SemUn arg{};
    arg.val = 0;
    return ::semctl(e->sem_id, 0, SETVAL, arg) == 0 ? 0 : -1;
}

bool SharedMemCli::IsRemoved(int i) const {
    const MemInfo* e = _entry(i);
    if (e == nullptr) {
        return true;
    }
    shmid_ds ds{};
    if (::shmctl(e->seg_id, IPC_STAT, &ds) != 0 || (ds.shm_perm.mode & SHM_DEST) != 0) {
        return true;
    }
    return ::semctl(e->sem_id, 0, GETVAL) < 0;
}

int SharedMemCli::GetSemVal(int i) {
    const MemInfo* e = _entry(i);
    if (e == nullptr || e->sem_id < 0) {
        return -1;
    }
    return ::semctl(e->sem_id, 0, GETVAL);
}

int SharedMemCli::MutexLock(int i) {
    void* addr = GetShmemAddr(i);
    if (addr == nullptr) {
        return -1;
    }
    bool recovered = false;
    const int rc = vel::shm::LockSegmentMutex(addr, &recovered);
    _reportRecovered(i, recovered);
    return rc;
}

int SharedMemCli::MutexLockFor(int i, int ms) {
    void* addr = GetShmemAddr(i);
    if (addr == nullptr) {
        return -1;
    }
    bool recovered = false;
    const int rc = vel::shm::LockSegmentMutexFor(addr, ms, &recovered);
    _reportRecovered(i, recovered);
    return rc;
}

void SharedMemCli::_reportRecovered(int i, bool recovered) const {
    if (recovered) {
        VERROR_AT(shmem_no << ":: MutexLock : entry " << i
                           << " was locked by a process that ended; lock recovered");
    }
}

int SharedMemCli::MutexUnlock(int i) {
    void* addr = GetShmemAddr(i);
    if (addr == nullptr) {
        return -1;
    }
    return vel::shm::UnlockSegmentMutex(addr);
}

}  // namespace veldwlib::shmem
