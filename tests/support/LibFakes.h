// Stand-ins for the daemon's two faces, for tests of the library's objects: a TCP order
// server with scripted replies, a shared memory group created with the daemon's layout, and a
// worker thread that serves the group's control segment.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ShmLayout.h"
#include "TestSupport.h"

namespace testsupport {

// Accepts any number of connections on 127.0.0.1:port. For every receive it asks the
// responder for a reply; an empty reply sends nothing.
class FakeOrderServer {
  public:
    using Responder = std::function<std::string(const std::string& received)>;

    FakeOrderServer() = default;
    ~FakeOrderServer();
    FakeOrderServer(const FakeOrderServer&) = delete;
    FakeOrderServer& operator=(const FakeOrderServer&) = delete;

    bool Start(int port, Responder responder);
    void Stop();
    struct Receipt {
        int connection;  // 1 for the first accepted connection, 2 for the next, ...
        std::string text;
    };
    // Everything received so far, one entry per receive, in order.
    std::vector<Receipt> Received() const;
    std::string AllReceived() const;
    int Accepted() const { return accepted_; }
    // Closes every accepted connection (the listening socket stays).
    void DropClients();

  private:
    void Run();

    int listen_fd_{-1};
    int wake_[2]{-1, -1};
    Responder responder_;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<Receipt> received_;
    std::vector<std::pair<int, int>> clients_;  // descriptor, connection number
    std::atomic<int> accepted_{0};
    std::atomic<bool> drop_{false};
};

// The segments and semaphore sets of one group as the daemon creates them (key files
// shm<g>_<j>.key and sem<g>_<j>.key in plan.key_dir, project id g * indata_num + j + 1), with
// an initialised mutex in every segment. Removed on destruction.
class TestShmGroup {
  public:
    TestShmGroup() = default;
    ~TestShmGroup();
    TestShmGroup(const TestShmGroup&) = delete;
    TestShmGroup& operator=(const TestShmGroup&) = delete;

    bool Create(const ConfigPlan& plan, int group);
    void Remove();
    vel::shm::ReceiveSegment* Receive() const;
    vel::shm::ControlSegment* Control() const;
    int ControlSem() const;
    int SemValue(int entry) const;

  private:
    std::vector<int> shm_ids_;
    std::vector<int> sem_ids_;
    std::vector<void*> addrs_;
};

// A thread that serves the control segment of a TestShmGroup the way the daemon's channel
// worker does, with scripted results and replies.
class FakeWorker {
  public:
    struct Transmit {
        int mc;
        std::string bytes;
    };
    struct Reply {
        std::string bytes;
        uint8_t status;
    };

    explicit FakeWorker(TestShmGroup& group) : group_(group) {}
    ~FakeWorker();
    FakeWorker(const FakeWorker&) = delete;
    FakeWorker& operator=(const FakeWorker&) = delete;

    void Start();
    void Stop();
    // Results written into the answers: 0 success, 1 failure.
    void SetTransmitResult(int32_t r) { transmit_result_ = r; }
    void SetComResult(int32_t r) { com_result_ = r; }
    // Replies written for machines 0..14 at every cycle; missing ones are written empty with
    // status 0.
    void SetReplies(const std::vector<Reply>& replies);
    std::vector<Transmit> Transmits() const;
    int Cycles() const { return cycles_; }

  private:
    void Run();
    void Serve();

    TestShmGroup& group_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int32_t> transmit_result_{0};
    std::atomic<int32_t> com_result_{0};
    std::atomic<int> cycles_{0};
    int32_t stamp_{1000};
    mutable std::mutex mutex_;
    std::vector<Reply> replies_;
    std::vector<Transmit> transmits_;
};

}  // namespace testsupport
