#include "LineConnector.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "DirectionConfig.h"
#include "Log.h"
#include "TextUtil.h"
#include "UsbSerialLatency.h"

namespace veldw485::line {

namespace shm = vel::shm;

LineConnector::LineConnector() : _sd(data::SettingDatas::get_instance()), _logger(GetLogger()) {}

LineConnector::~LineConnector() {
    // A worker that is still running owns a reference to this object; the owner only
    // destroys connectors whose workers have ended (see AwaitEnd).
    if (_thread.joinable()) {
        _thread.join();
    }
}

void LineConnector::SetShmem(shmem::SharedMem* shmem) {
    _shmem = shmem;
}

int LineConnector::InitMutex() {
    const int items = _sd->getConfShmemInGrpNum();
    for (int i = 0; i < items; ++i) {
        void* addr = _shmem != nullptr ? _shmem->GetShmemAddr(i) : nullptr;
        if (addr == nullptr) {
            continue;  // entry not attached: nothing to initialise
        }
        shm::InitSegmentMutex(addr);
        VTRACE("______ mutex init " << i);
    }
    return 0;
}

void LineConnector::JoinEndedWorker() {
    if (!_alive && _thread.joinable()) {
        _thread.join();
    }
}

int LineConnector::Start(int channel, bool sniffer, unsigned char baudrate) {
    VTRACE("in LineConnector : start channel = " << channel);
    // The order thread never joins a worker that may still run: a worker blocked behind a
    // client that holds the control mutex would hold every order of every channel.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kRestartWaitMillis);
    while (true) {
        {
            std::lock_guard<std::mutex> guard(_lock);
            if (_recorded && !finished) {
                // The worker is starting or serving. Its own state answers the open, so a
                // worker that fails is never reported open.
                status = _openStatus == kStatusNone ? kStatusStarting : _openStatus;
                return ++_useCount;
            }
            if (_alive && _serving) {
                // The worker of the last close has not acted on its stop bit yet: it keeps
                // its open port and serves the new user.
                _stop_flag &= ~kStopBit;
                _recorded = true;
                status = _openStatus;
                return ++_useCount;
            }
            if (!_alive) {
                break;
            }
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            VLOG_WARN(_logger,
                      "[{}:{}] ***** order open : channel {} : the previous worker has not ended",
                      channel);
            std::lock_guard<std::mutex> guard(_lock);
            return ++_useCount;  // nothing recorded: the open is answered as failed
        }
        ::usleep(static_cast<useconds_t>(kPollMicros / 10));
    }
    JoinEndedWorker();
    // The settings were checked at start-up; a line that fails here is opened as "de_line"
    // alone says.
    DirectionSettings direction =
        DirectionConfig::FromDeLine(_sd->getConfLineStr(channel, _sd->key_de_line));
    std::string key;
    std::string reason;
    (void)DirectionConfig::Read(*_sd, channel, &direction, &key, &reason);
    _driver = std::make_unique<Rs485Control>(
        _sd->getConfLineStr(channel, _sd->key_device), DirectionControl::Create(direction, channel),
        _sd->getConfLineInt(channel, _sd->key_baudrate),
        _sd->getConfLineInt(channel, _sd->key_max_machine), channel);
    // A line opened afresh has no clients yet. Whether its control segment can carry their
    // identities is said once per open, where a user would look for why the line's users
    // share one set of settings.
    _views.Clear();
    const std::size_t control_size =
        _shmem != nullptr ? _shmem->SegmentSize(shm::kControlEntry) : 0;
    _identityRoom = control_size >= shm::kControlSegmentWithIdentity;
    if (!_identityRoom) {
        VLOG_WARN(_logger,
                  "[{}:{}] ***** order open : channel {} : control segment of {} bytes has no "
                  "room for client identities ({} needed) : its users share one set of "
                  "settings",
                  channel, control_size, shm::kControlSegmentWithIdentity);
    }
    {
        std::lock_guard<std::mutex> guard(_lock);
        _channel = channel;
        finished = false;
        _useCount = 1;
        // Cleared before the thread starts, so that a stop request made right after this
        // start cannot be lost.
        _stop_flag = 0;
        _serving = false;
        _openStatus = kStatusNone;
        status = kStatusStarting;
    }
    _alive = true;
    _thread = std::thread(&LineConnector::Run, this, channel, sniffer, baudrate);
    _recorded = true;
    return 1;
}

int LineConnector::Stop(bool join) {
    {
        std::lock_guard<std::mutex> guard(_lock);
        if (_useCount <= 0) {
            return -1;
        }
        --_useCount;
        if (_useCount != 0) {
            status = kStatusStopRefused;
            return 1;
        }
        status = kStatusStopping;
        _stop_flag |= kStopBit;
        _recorded = false;
    }
    if (join) {
        (void)AwaitEnd(std::chrono::steady_clock::now() +
                       std::chrono::milliseconds(kRestartWaitMillis));
    }
    return 0;
}

int LineConnector::Reset() {
    std::lock_guard<std::mutex> guard(_lock);
    if (_recorded && !finished) {
        VTRACE("[" << _channel << "] : call Reset ->>> not Reset _stop_flag = " << _stop_flag);
        return 0;
    }
    // The recorded worker failed to open (or none is recorded): the opens counted for it
    // were answered as failed. Its thread is joined by the next Start once it has ended.
    _recorded = false;
    _useCount = 0;
    return 0;
}

int LineConnector::SetPortParams(int conn, int mc_num, unsigned char ctrl_bit, short time_out,
                                 unsigned char delm_type, unsigned char len_after_delm,
                                 unsigned char wait_time) {
    std::lock_guard<std::mutex> guard(_lock);
    VLOG_INFO(_logger,
              "[{}:{}] ***** LineConnector::SetPortParams :  mc_num={} ctrl_bit={} time_out={} "
              "delm_type={} len_after_delm={} wait_time={}",
              mc_num, ctrl_bit, time_out, delm_type, len_after_delm, wait_time);
    if (!_driver) {
        return -1;  // never opened: there is no driver to configure
    }
    const uint32_t id = _views.Find(conn);
    if (id != 0) {
        return _views.SetPortParams(id, mc_num, _driver->MaxMachine(), ctrl_bit, time_out,
                                    delm_type, len_after_delm, wait_time);
    }
    return _driver->SetPortParams(mc_num, ctrl_bit, time_out, delm_type, len_after_delm, wait_time);
}

int LineConnector::SetReplyFraming(int conn, int mc_num, int kind, int length) {
    std::lock_guard<std::mutex> guard(_lock);
    VLOG_INFO(_logger,
              "[{}:{}] ***** LineConnector::SetReplyFraming :  mc_num={} kind={} length={}", mc_num,
              kind, length);
    if (!_driver) {
        return -3;
    }
    const uint32_t id = _views.Find(conn);
    if (id != 0) {
        return _views.SetReplyFraming(id, mc_num, _driver->MaxMachine(), kind, length);
    }
    return _driver->SetReplyFraming(mc_num, kind, length);
}

int LineConnector::SetComFlags(int conn, int use_machine_flags) {
    std::lock_guard<std::mutex> guard(_lock);
    if (!_driver) {
        return 0;
    }
    const uint32_t id = _views.Find(conn);
    if (id != 0) {
        return _views.SetComFlags(id, use_machine_flags);
    }
    return _driver->SetComFlags(use_machine_flags);
}

uint32_t LineConnector::RegisterUser(int conn, int pid, int baudrate) {
    std::lock_guard<std::mutex> guard(_lock);
    const int s = status;
    const bool open = _recorded && _driver && (s == kStatusOpenNow || s == kStatusOpenAlready);
    // Without a known connection the user could never be told apart from the others.
    if (!open || !_identityRoom || conn < 0 || baudrate < 0 ||
        baudrate >= Rs485Control::kBaudIndexes) {
        return 0;
    }
    return _views.Register(conn, pid, baudrate);
}

uint32_t LineConnector::DropUser(int conn, int* pid) {
    return _views.Drop(conn, pid);
}

std::vector<ClientViews::Summary> LineConnector::Users() {
    std::lock_guard<std::mutex> guard(_lock);
    std::vector<ClientViews::Summary> list;
    if (!_driver || !_recorded) {
        return list;
    }
    list.push_back(ClientViews::Summarize(0, 0, _driver->OpenBaud(), _driver->Table(),
                                          _views.ChannelLastCycle()));
    for (const ClientViews::Summary& s : _views.List()) {
        list.push_back(s);
    }
    return list;
}

bool LineConnector::IsStarting() {
    const int s = status;
    return _recorded && s >= 1000 && s <= 1999;
}

bool LineConnector::IsOpenNow() {
    return _recorded && status == kStatusOpenNow;
}

bool LineConnector::IsOpenAlready() {
    return _recorded && status == kStatusOpenAlready;
}

bool LineConnector::IsOpenFailed() {
    const int s = status;
    return !_recorded || (s >= -1999 && s <= -1001);
}

bool LineConnector::IsRunning() {
    const int s = status;
    return _recorded && s >= 2000 && s <= 2999;
}

void LineConnector::RequestStop() {
    std::lock_guard<std::mutex> guard(_lock);
    _stop_flag |= kStopBit;
}

bool LineConnector::AwaitEnd(std::chrono::steady_clock::time_point deadline) {
    while (_alive && std::chrono::steady_clock::now() < deadline) {
        ::usleep(static_cast<useconds_t>(kPollMicros));
    }
    if (_alive) {
        return false;
    }
    JoinEndedWorker();
    _recorded = false;
    return true;
}

void LineConnector::AbandonWorker() {
    if (_thread.joinable()) {
        _thread.detach();
    }
}

void LineConnector::SetOpenResult(int r) {
    std::lock_guard<std::mutex> guard(_lock);
    switch (r) {
        case 0:
            status = kStatusOpenNow;
            break;
        case -1:
            status = kStatusOpenAlready;
            break;
        case -2:
            status = kStatusBaudError;
            break;
        case -3:
            status = kStatusTtyError;
            break;
        case -4:
            status = kStatusDeError;
            break;
        default:
            status = kStatusOpenError;
            break;
    }
    _serving = status == kStatusOpenNow || status == kStatusOpenAlready;
    _openStatus = status;
}

void LineConnector::Run(int channel, bool sniffer, unsigned char baudrate) {
    const int r = _driver->Open(sniffer, baudrate);
    const int open_errno = errno;
    if (r == -4) {
        // The tty stayed open when the direction control failed; the driver is replaced by
        // the next open, so its descriptor is closed here rather than leaked.
        (void)_driver->Close();
    }
    // Everything about the open is logged before its result is published: the order thread
    // answers the client as soon as it sees the result, and the log then already says why.
    const std::string device = _sd->getConfLineStr(channel, _sd->key_device);
    if (r != 0 && r != -1) {
        VLOG_WARN(_logger, "[{}:{}] ***** order open : open failed : result = {}", r);
        if (r == -3) {
            VLOG_WARN(_logger, "[{}:{}] ***** order open : cannot open device {} : {}", device,
                      std::strerror(open_errno));
        }
        if (r == -4 && !_driver->DirectionFailure().empty()) {
            VLOG_WARN(_logger, "[{}:{}] ***** order open : direction control of {} : {}", device,
                      _driver->DirectionFailure());
        }
        SetOpenResult(r);
        finished = true;
        _alive = false;
        return;
    }
    VLOG_INFO(_logger, "[{}:{}] ***** order open :result = {}", r);
    VLOG_INFO(_logger, "[{}:{}] ***** order open : direction control : {}",
              _driver->DirectionText());
    const int latency = UsbSerialLatency::Millis(device);
    if (latency > UsbSerialLatency::kWarnAboveMs) {
        VLOG_WARN(_logger,
                  "[{}:{}] ***** order open : {} : USB serial latency timer {} ms delays every "
                  "reply by up to {} ms (set it to 1)",
                  device, latency, latency);
    }
    SetOpenResult(r);
    _pending = 0;

    auto* ctl = static_cast<shm::ControlSegment*>(_shmem->GetShmemAddr(shm::kControlEntry));
    LinePacer poll;
    while (true) {
        // An idle poll only looks at the flag word; the process-shared mutex is taken when a
        // bit is set, so an idle poll costs little more than its wake-up.
        if (ctl != nullptr && __atomic_load_n(&ctl->data_flags, __ATOMIC_ACQUIRE) != 0U) {
            _shmem->MutexLock(shm::kControlEntry);
            const uint32_t flags = ctl->data_flags;
            if (flags >= shm::kAnswerThreshold) {
                ++_pending;
                if (_pending >= kStaleLimit) {
                    ClearStaleAnswer(ctl, channel);
                } else {
                    _shmem->MutexUnlock(shm::kControlEntry);
                }
            } else if ((flags & shm::kTransmitRequest) != 0U) {
                ServeTransmit(ctl, channel);
            } else if ((flags & shm::kComRequest) != 0U) {
                ServeCommunication(ctl, channel);
            } else {
                // An identity mark without its request says nothing: dropped, so that idle
                // polls stay without the lock.
                ctl->data_flags &= ~shm::kIdentifiedRequest;
                _shmem->MutexUnlock(shm::kControlEntry);
            }
        }
        bool stop = false;
        {
            std::lock_guard<std::mutex> guard(_lock);
            stop = (_stop_flag & kStopBit) != 0;
            if (stop) {
                // From here on an open no longer keeps this worker.
                _serving = false;
            }
        }
        if (stop) {
            // Without the connector lock: the orders of the main thread never wait for the
            // tty's close.
            const int closed = _driver->Close();
            VLOG_INFO(_logger, "[{}:{}] in thread [{}] : close : ret = {}", channel, closed);
            status = kStatusEnded;
            break;
        }
        AwaitRequest(poll);
    }
    finished = true;
    _alive = false;
}

void LineConnector::AwaitRequest(LinePacer& poll) {
    // The library adds 1 to the receive entry's semaphore after it has set a request bit, so
    // a request starts at once instead of at the next tick; the tick still bounds the wait
    // for a client that writes the segment without waking the worker.
    const int r = _shmem->SemWaitFor(shm::kReceiveEntry, poll.UntilNextTick(kPollMicros));
    if (r == 0) {
        // The coming poll serves what every post so far announced: their bits are set
        // before they post. Dropping the rest keeps posts from piling up.
        _shmem->ResetSemVal(shm::kReceiveEntry);
    } else if (r != ETIMEDOUT) {
        poll.WaitNextTick(kPollMicros);  // no semaphore to wait on
    }
}

void LineConnector::ClearStaleAnswer(shm::ControlSegment* ctl, int channel) {
    // Only the stale answer goes: a request bit set meanwhile belongs to a client that waits
    // and is served at the next poll. The semaphore is reset before the control mutex is
    // released, so no requester can take the stale post for the answer to its own request.
    static constexpr uint32_t kBits[] = {shm::kTransmitAnswer, shm::kComAnswer};
    for (const uint32_t bit : kBits) {
        const uint32_t flags = ctl->data_flags;
        if ((flags & bit) == 0U) {
            continue;
        }
        if (bit == shm::kTransmitAnswer) {
            VLOG_INFO(_logger,
                      "[{}:{}] in thread [{}]: +++++++++  clear wait flag (putOutData) +++++++++ "
                      "flag={} clear flag->{}",
                      channel, flags, bit);
        } else {
            VLOG_INFO(_logger,
                      "[{}:{}] in thread [{}]: +++++++++  clear wait flag (startCom) +++++++++ "
                      "flag={} clear flag->{}",
                      channel, flags, bit);
        }
        ctl->data_flags = flags ^ bit;
    }
    VTRACE("in thread [" << channel
                         << "]: semaphore value = " << _shmem->GetSemVal(shm::kControlEntry));
    _shmem->ResetSemVal(shm::kControlEntry);
    _shmem->MutexUnlock(shm::kControlEntry);
    _pending = 0;
}

uint32_t LineConnector::TakeRequest(shm::ControlSegment* ctl, uint32_t request_bit) {
    const uint32_t flags = ctl->data_flags;
    const bool identified = _identityRoom && (flags & shm::kIdentifiedRequest) != 0U;
    ctl->data_flags = (flags ^ request_bit) & ~shm::kIdentifiedRequest;
    return identified ? shm::IdentityOf(ctl)->request_id : 0U;
}

void LineConnector::Answer(shm::ControlSegment* ctl, uint32_t answer_bit, uint32_t id,
                           bool records) {
    if (_identityRoom) {
        shm::ControlIdentity* identity = shm::IdentityOf(ctl);
        identity->answer_id = id;
        identity->answer_records = records ? 1U : 0U;
    }
    ctl->data_flags |= answer_bit;
}

void LineConnector::ServeTransmit(shm::ControlSegment* ctl, int channel) {
    _pending = 0;
    const uint32_t id = TakeRequest(ctl, shm::kTransmitRequest);
    VLOG_INFO(_logger, "[{}:{}] ***** order put_output_stream channel = {}", channel);
    if (id != 0) {
        VLOG_INFO(_logger, "[{}:{}] in thread [{}]: request of user {}", channel, id);
    }
    int32_t result = shm::kRequestSuccess;
    const int32_t mc_num = ctl->mode;
    const int32_t data_len = ctl->data_len;
    // The slot is written by other processes: a request outside the tables is refused here
    // instead of being handed to the driver.
    if (mc_num < 0 || mc_num >= shm::kMachineCount || data_len < 0 ||
        data_len > shm::kSendBufferSize) {
        result = shm::kRequestFailure;
        VLOG_WARN(_logger,
                  "[{}:{}] in thread [{}]:  putOutputStream : invalid request : mc_num = {} : "
                  "data_len = {}",
                  channel, mc_num, data_len);
    } else {
        VLOG_INFO(_logger,
                  "[{}:{}] in thread [{}]: receive putOutputStream : mc_num = {} : data_len = {} "
                  ": data = {}",
                  channel, mc_num, data_len,
                  vel::text::BytesToHex(ctl->data, static_cast<std::size_t>(data_len)));
        const int stored = id != 0 ? _views.SetSendData(id, mc_num, ctl->data, data_len)
                                   : _driver->SetSendData(mc_num, ctl->data, data_len);
        if (stored == 0) {
            result = shm::kRequestFailure;
            VLOG_WARN(_logger, "[{}:{}] in thread [{}]:  putOutputStream : data set failed ({})",
                      channel, result);
        }
    }
    ctl->data_len = result;
    Answer(ctl, shm::kTransmitAnswer, id, false);
    VLOG_INFO(_logger, "[{}:{}] in thread [{}]: return putOutputStream : return = {}", channel,
              result);
    _shmem->MutexUnlock(shm::kControlEntry);
    _shmem->SemUnlock(shm::kControlEntry);
}

void LineConnector::ServeCommunication(shm::ControlSegment* ctl, int channel) {
    _pending = 0;
    const uint32_t id = TakeRequest(ctl, shm::kComRequest);
    VLOG_INFO(_logger, "[{}:{}] ***** order start_com channel = {}", channel);
    int32_t result = shm::kRequestSuccess;
    VLOG_INFO(_logger, "[{}:{}] in thread [{}]: receive startCom : mode = {}", channel, ctl->mode);
    bool ran = true;
    int done = 0;
    if (id == 0) {
        done = _driver->StartCom(_lens, &_bufs[0][0], _statuses);
    } else {
        VLOG_INFO(_logger, "[{}:{}] in thread [{}]: request of user {}", channel, id);
        MachineTable table;
        ran = _views.Table(id, &table);
        if (ran) {
            done = _driver->StartCom(table, _lens, &_bufs[0][0], _statuses);
        } else {
            VLOG_WARN(_logger, "[{}:{}] in thread [{}]: startCom : user {} is not known", channel,
                      id);
        }
    }
    if (done == 0) {
        result = shm::kRequestFailure;
        VLOG_WARN(_logger, "[{}:{}] in thread [{}]:  startCom : data set failed ({})", channel,
                  result);
    }
    ctl->mode = result;
    Answer(ctl, shm::kComAnswer, id, ran);
    _shmem->MutexUnlock(shm::kControlEntry);
    if (ran) {
        _views.CycleDone(id, std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count());
    }

    auto* rcv = static_cast<shm::ReceiveSegment*>(_shmem->GetShmemAddr(shm::kReceiveEntry));
    if (ran && rcv != nullptr) {
        _shmem->MutexLock(shm::kReceiveEntry);
        const auto stamp = static_cast<int32_t>(::clock());
        rcv->data_flags |= shm::kReceiveWritten;
        rcv->time = stamp;
        for (int m = 0; m < shm::kMachineCount; ++m) {
            shm::ReceiveRecord& rec = rcv->records[m];
            const int len = std::clamp(_lens[m], 0, shm::kReceiveAreaSize);
            rec.time = stamp;
            rec.dalen = static_cast<uint16_t>(len);
            // The cycle's own status: a "compt" order during the cycle has already
            // rewritten the table's.
            rec.statu = _statuses[m];
            std::memcpy(rec.da, _bufs[m], static_cast<std::size_t>(len));
            rec.da[len] = 0;
        }
        VLOG_INFO(_logger, "[{}:{}] in thread [{}]: return startCom : write receive datas",
                  channel);
        _shmem->MutexUnlock(shm::kReceiveEntry);
    }
    VLOG_INFO(_logger, "[{}:{}] in thread [{}]: return startCom : return = {}", channel, result);
    VTRACE("in thread [" << channel
                         << "]: semaphore value = " << _shmem->GetSemVal(shm::kControlEntry));
    _shmem->SemUnlock(shm::kControlEntry);
}

}  // namespace veldw485::line
