#include "GroupClient.h"

#include <errno.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <time.h>

#include <cstring>

namespace testsupport {

namespace shm = vel::shm;

GroupClient::~GroupClient() {
    Detach();
}

bool GroupClient::Attach(const std::string& key_dir, int group, int indata_num) {
    auto attach = [&](int entry) -> void* {
        const std::string path =
            key_dir + "/shm" + std::to_string(group) + "_" + std::to_string(entry) + ".key";
        const key_t key = ::ftok(path.c_str(), group * indata_num + entry + 1);
        if (key == -1) {
            return nullptr;
        }
        const int id = ::shmget(key, 0, 0);
        if (id < 0) {
            return nullptr;
        }
        void* addr = ::shmat(id, nullptr, 0);
        return addr == reinterpret_cast<void*>(-1) ? nullptr : addr;
    };
    rcv_ = static_cast<shm::ReceiveSegment*>(attach(shm::kReceiveEntry));
    ctl_ = static_cast<shm::ControlSegment*>(attach(shm::kControlEntry));
    const std::string sem_path = key_dir + "/sem" + std::to_string(group) + "_" +
                                 std::to_string(shm::kControlEntry) + ".key";
    const key_t sem_key = ::ftok(sem_path.c_str(), group * indata_num + shm::kControlEntry + 1);
    sem_id_ = sem_key == -1 ? -1 : ::semget(sem_key, 1, 0);
    const std::string wake_path = key_dir + "/sem" + std::to_string(group) + "_" +
                                  std::to_string(shm::kReceiveEntry) + ".key";
    const key_t wake_key = ::ftok(wake_path.c_str(), group * indata_num + shm::kReceiveEntry + 1);
    wake_sem_id_ = wake_key == -1 ? -1 : ::semget(wake_key, 1, 0);
    return rcv_ != nullptr && ctl_ != nullptr && sem_id_ >= 0;
}

void GroupClient::Detach() {
    if (rcv_ != nullptr) {
        ::shmdt(rcv_);
        rcv_ = nullptr;
    }
    if (ctl_ != nullptr) {
        ::shmdt(ctl_);
        ctl_ = nullptr;
    }
}

namespace {
// Locks like a client would; kept here so that tests linking only the shared library (which
// hides the common code) can use it.
void Lock(void* segment) {
    auto* mutex = static_cast<pthread_mutex_t*>(segment);
    if (pthread_mutex_lock(mutex) == EOWNERDEAD) {
        pthread_mutex_consistent(mutex);
    }
}
void Unlock(void* segment) {
    pthread_mutex_unlock(static_cast<pthread_mutex_t*>(segment));
}
}  // namespace

void GroupClient::LockControl() {
    Lock(ctl_);
}
void GroupClient::UnlockControl() {
    Unlock(ctl_);
}
void GroupClient::LockReceive() {
    Lock(rcv_);
}
void GroupClient::UnlockReceive() {
    Unlock(rcv_);
}

void GroupClient::PostTransmit(int mc_num, const std::vector<uint8_t>& bytes) {
    LockControl();
    ctl_->data_flags |= shm::kTransmitRequest;
    ctl_->mode = mc_num;
    ctl_->data_len = static_cast<int32_t>(bytes.size());
    const std::size_t n = bytes.size() <= static_cast<std::size_t>(shm::kSendBufferSize)
                              ? bytes.size()
                              : static_cast<std::size_t>(shm::kSendBufferSize);
    if (n > 0) {
        std::memcpy(ctl_->data, bytes.data(), n);
    }
    ctl_->data[n] = 0;
    UnlockControl();
}

void GroupClient::PostCommunication() {
    LockControl();
    ctl_->data_flags |= shm::kComRequest;
    ctl_->mode = shm::kComMode;
    UnlockControl();
}

bool GroupClient::WaitAnswer(int timeout_ms) {
    sembuf op{0, -1, 0};
    timespec ts{timeout_ms / 1000, static_cast<long>(timeout_ms % 1000) * 1000000L};
    while (true) {
        if (::semtimedop(sem_id_, &op, 1, &ts) == 0) {
            return true;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

int GroupClient::SemValue() {
    return ::semctl(sem_id_, 0, GETVAL);
}

int GroupClient::WakeSemValue() {
    return wake_sem_id_ < 0 ? -1 : ::semctl(wake_sem_id_, 0, GETVAL);
}

bool GroupClient::PostSemaphore() {
    sembuf op{};
    op.sem_op = 1;
    return ::semop(sem_id_, &op, 1) == 0;
}

int GroupClient::TakeTransmitAnswer() {
    int result = -1;
    LockControl();
    if ((ctl_->data_flags & shm::kTransmitAnswer) != 0U) {
        ctl_->data_flags ^= shm::kTransmitAnswer;
        result = ctl_->data_len;
    }
    UnlockControl();
    return result;
}

int GroupClient::TakeComAnswer() {
    int result = -1;
    LockControl();
    if ((ctl_->data_flags & shm::kComAnswer) != 0U) {
        ctl_->data_flags ^= shm::kComAnswer;
        result = ctl_->mode;
    }
    UnlockControl();
    return result;
}

int GroupClient::Transmit(int mc_num, const std::vector<uint8_t>& bytes, int timeout_ms) {
    PostTransmit(mc_num, bytes);
    if (!WaitAnswer(timeout_ms)) {
        return -1;
    }
    return TakeTransmitAnswer();
}

int GroupClient::Communicate(int timeout_ms) {
    PostCommunication();
    if (!WaitAnswer(timeout_ms)) {
        return -1;
    }
    return TakeComAnswer();
}

}  // namespace testsupport
