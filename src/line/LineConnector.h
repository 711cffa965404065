// One configured RS-485 line: its use count, its status and the worker thread that serves the
// requests that clients post in the line's shared memory group.
#pragma once

#include <spdlog/spdlog.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "ClientViews.h"
#include "Rs485Control.h"
#include "SettingDatas.h"
#include "SharedMem.h"

namespace veldw485::line {

class LineConnector {
  public:
    static constexpr int kStatusNone = 0;
    static constexpr int kStatusStarting = 1000;
    static constexpr int kStatusOpenNow = 2000;
    static constexpr int kStatusOpenAlready = 2001;
    static constexpr int kStatusStopping = 8000;
    static constexpr int kStatusEnded = 9000;
    static constexpr int kStatusStopRefused = 9001;
    static constexpr int kStatusBaudError = -1001;
    static constexpr int kStatusTtyError = -1002;
    static constexpr int kStatusDeError = -1003;
    static constexpr int kStatusOpenError = -1999;
    static constexpr int kStopBit = 1;
    static constexpr int kNoConnection = -1;
    // Polls of the control segment, and polls an uncollected answer may wait.
    static constexpr int kPollMicros = 10000;
    static constexpr int kStaleLimit = 100;
    // How long an open waits for the worker of an earlier close that is still opening or
    // closing its port before it is refused.
    static constexpr int kRestartWaitMillis = 500;

    LineConnector();
    virtual ~LineConnector();
    LineConnector(const LineConnector&) = delete;
    LineConnector& operator=(const LineConnector&) = delete;

    void SetShmem(shmem::SharedMem* shmem);
    int InitMutex();
    // Returns the use count after the call. Never waits on a worker that may be stuck: a
    // worker that was told to stop but still serves is kept, and one that is still opening
    // or closing its port is waited for at most kRestartWaitMillis; after that no worker is
    // recorded and the open is refused.
    int Start(int channel, bool sniffer, unsigned char baudrate);
    // 0 the last user left, 1 users remain, -1 nobody had the channel open (the count never
    // goes below 0). With join, waits at most kRestartWaitMillis for the worker's end.
    int Stop(bool join);
    int Reset();
    // The settings orders. conn: the order connection they came on; the settings go to the
    // client registered on it, or to the channel's table for a connection without one
    // (kNoConnection included).
    int SetPortParams(int conn, int mc_num, unsigned char ctrl_bit, short time_out,
                      unsigned char delm_type, unsigned char len_after_delm,
                      unsigned char wait_time);
    int SetComFlags(int conn, int use_machine_flags);
    int SetPortParams(int mc_num, unsigned char ctrl_bit, short time_out, unsigned char delm_type,
                      unsigned char len_after_delm, unsigned char wait_time) {
        return SetPortParams(kNoConnection, mc_num, ctrl_bit, time_out, delm_type, len_after_delm,
                             wait_time);
    }
    int SetComFlags(int use_machine_flags) { return SetComFlags(kNoConnection, use_machine_flags); }
    // The driver's SetReplyFraming result for the table of conn's user or the channel's; -3
    // when the channel was never opened.
    int SetReplyFraming(int conn, int mc_num, int kind, int length);
    int SetReplyFraming(int mc_num, int kind, int length) {
        return SetReplyFraming(kNoConnection, mc_num, kind, length);
    }

    // A client on connection conn gets an identity of its own and with it its own table,
    // cycles at baud index baudrate. 0 when the channel is not open, its control segment has
    // no room for identities, the connection is not known (kNoConnection), the baud index is
    // not 0..5 or the line has enough clients.
    uint32_t RegisterUser(int conn, int pid, int baudrate);
    // Forgets the client on conn; its identity (0 none) and *pid.
    uint32_t DropUser(int conn, int* pid);
    // The channel's own table (identity 0) and every client's, while the channel is open.
    std::vector<ClientViews::Summary> Users();

    bool IsStarting();
    bool IsOpenNow();
    bool IsOpenAlready();
    bool IsOpenFailed();
    bool IsRunning();

    // Shutdown in two steps, so that all workers are told at once and waited for together:
    // RequestStop sets the stop bit; AwaitEnd waits until the worker has ended or the
    // deadline has passed and returns true when no worker thread runs any more.
    void RequestStop();
    bool AwaitEnd(std::chrono::steady_clock::time_point deadline);
    // True while a worker thread runs (also one that is no longer recorded).
    bool WorkerAlive() const { return _alive; }
    // Lets a worker that did not end run on to the end of the process on its own: its
    // connector and everything it uses must then never be destroyed.
    void AbandonWorker();

    void Run(int channel, bool sniffer, unsigned char baudrate);

  private:
    // Joins the thread of a worker that has ended (never one that still runs).
    void JoinEndedWorker();
    void SetOpenResult(int r);
    // Clears the request bit (and the identity mark) of the request taken; the requester's
    // identity, 0 for a request without one.
    uint32_t TakeRequest(vel::shm::ControlSegment* ctl, uint32_t request_bit);
    // Sets the answer bit, with the identity of its requester where the segment has room.
    // records: the receive records were written for this answer's cycle.
    void Answer(vel::shm::ControlSegment* ctl, uint32_t answer_bit, uint32_t id, bool records);
    void ServeTransmit(vel::shm::ControlSegment* ctl, int channel);
    void ServeCommunication(vel::shm::ControlSegment* ctl, int channel);
    void ClearStaleAnswer(vel::shm::ControlSegment* ctl, int channel);
    // Waits until the next poll tick, or less when a client wakes the worker.
    void AwaitRequest(LinePacer& poll);

    data::SettingDatas* _sd;
    std::shared_ptr<spdlog::logger> _logger;
    std::unique_ptr<Rs485Control> _driver;
    std::atomic<int> status{kStatusNone};
    shmem::SharedMem* _shmem{nullptr};
    // The worker record, used by the order thread only. A worker whose record was cleared by
    // Stop may still be finishing its poll; its thread stays in _thread until it has ended
    // and the next Start or AwaitEnd joins it.
    std::thread _thread;
    bool _recorded{false};
    std::atomic<bool> finished{false};
    // True from the creation of a worker thread until its last statement.
    std::atomic<bool> _alive{false};
    std::mutex _lock;
    // Under _lock: the use count, the stop bit, and whether the worker has its port open and
    // polls (with the status its open gave), so that an open can keep a stopping worker.
    int _useCount{0};
    int _channel{-1};
    int _stop_flag{0};
    bool _serving{false};
    int _openStatus{kStatusNone};

    // The clients with a table of their own, and whether the control segment has room for
    // their identities (set by a fresh Start, before its worker runs).
    ClientViews _views;
    bool _identityRoom{false};

    // Worker data: reply lengths, statuses and reply buffers of the 15 machines.
    int _lens[vel::shm::kMachineCount]{};
    unsigned char _statuses[vel::shm::kMachineCount]{};
    unsigned char _bufs[vel::shm::kMachineCount][vel::shm::kReceiveAreaSize]{};
    int _pending{0};
};

}  // namespace veldw485::line
