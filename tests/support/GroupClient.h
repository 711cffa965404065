// A test client that attaches a channel's shared memory group the way the library does,
// using the shared layout directly, so the daemon can be driven without the library.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ShmLayout.h"

namespace testsupport {

class GroupClient {
  public:
    GroupClient() = default;
    ~GroupClient();
    GroupClient(const GroupClient&) = delete;
    GroupClient& operator=(const GroupClient&) = delete;

    // Attaches entries 0 and 1 of group g of a configuration made by MakeConfig.
    bool Attach(const std::string& key_dir, int group, int indata_num = 2);
    void Detach();

    vel::shm::ReceiveSegment* Receive() { return rcv_; }
    vel::shm::ControlSegment* Control() { return ctl_; }

    void LockControl();
    void UnlockControl();
    void LockReceive();
    void UnlockReceive();

    // Posts a request bit (and for a transmit request the machine and bytes) without waiting.
    void PostTransmit(int mc_num, const std::vector<uint8_t>& bytes);
    void PostCommunication();
    // Waits for the control semaphore; false when it was not posted within timeout_ms.
    bool WaitAnswer(int timeout_ms);
    int SemValue();
    // The value of the receive entry's semaphore, through which the library wakes the
    // worker; -1 when it cannot be read.
    int WakeSemValue();
    // Adds 1 to the control semaphore, as a worker's answer would; true when it worked.
    bool PostSemaphore();
    // Takes the answer of a transmit or communication request: the result (0 success,
    // 1 failure), or -1 when the answer bit was not set.
    int TakeTransmitAnswer();
    int TakeComAnswer();

    // Full round trips as the library makes them; -1 when no answer came in time.
    int Transmit(int mc_num, const std::vector<uint8_t>& bytes, int timeout_ms = 20000);
    int Communicate(int timeout_ms = 30000);

  private:
    vel::shm::ReceiveSegment* rcv_{nullptr};
    vel::shm::ControlSegment* ctl_{nullptr};
    int sem_id_{-1};
    int wake_sem_id_{-1};
};

}  // namespace testsupport
