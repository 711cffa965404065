#include "dw485if.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "RequestExchange.h"
#include "ShmLayout.h"
#include "Trace.h"

namespace veldwlib {

namespace {
// A cycle request is recorded as bit 1 << channel of a 32-bit mask of channels to serve.
constexpr int kChannelMaskBits = 32;
constexpr int kAllMachines = -1;

bool MachineInRange(int mc) {
    return mc >= 0 && mc < vel::shm::kMachineCount;
}
}  // namespace

dw485_if::dw485_if() {
    _initSettings();
    _start();
}

dw485_if::~dw485_if() {
    for (auto& shm : _shmem) {
        if (shm->GetShmemNo() >= 0) {
            _release(*shm);
        }
    }
}

void dw485_if::_initSettings() {
    data::SettingLibDatas::create();
    _sd = data::SettingLibDatas::get_instance();
}

int dw485_if::_start() {
    const int groups = _sd->getConfShmemGrpNum();
    for (int g = 0; g < groups; ++g) {
        _shmem.push_back(std::make_unique<shmem::SharedMemCli>(_sd));
    }
    return 0;
}

shmem::SharedMemCli* dw485_if::_attachment(int channel) const {
    if (channel < 0 || static_cast<std::size_t>(channel) >= _shmem.size()) {
        return nullptr;
    }
    return _shmem[static_cast<std::size_t>(channel)].get();
}

void dw485_if::_release(shmem::SharedMemCli& shm) {
    shm.Detatch();
    shm.Destroy();
    shm.ReSetShmemNo();
}

ChannelGate* dw485_if::_gate(int channel, bool create) {
    std::lock_guard<std::mutex> lock(_mapLock);
    if (create) {
        return &_gates.try_emplace(channel).first->second;
    }
    const auto it = _gates.find(channel);
    return it != _gates.end() ? &it->second : nullptr;
}

SerialLine* dw485_if::_line(int channel) {
    std::lock_guard<std::mutex> lock(_mapLock);
    const auto it = _lines.find(channel);
    return it != _lines.end() ? &it->second : nullptr;
}

dw485_if::Listener dw485_if::_listener(int channel) {
    std::lock_guard<std::mutex> lock(_mapLock);
    const auto it = _listeners.find(channel);
    return it != _listeners.end() ? it->second : nullptr;
}

int dw485_if::readyStatus(int channel) const {
    std::lock_guard<std::mutex> lock(_mapLock);
    const auto it = _lines.find(channel);
    return it != _lines.end() && it->second.isConnectReady() ? 1 : 0;
}

int dw485_if::ConnectLine(int channel) {
    SerialLine* line = _line(channel);
    if (line != nullptr) {
        if (line->isConnectReady()) {
            return 2;
        }
        {
            std::lock_guard<std::mutex> lock(_mapLock);
            _lines.erase(channel);
        }
        VTRACE(channel << ":: ConnectLine : NG");
        return -2;
    }
    {
        std::lock_guard<std::mutex> lock(_mapLock);
        line = &_lines.try_emplace(channel).first->second;
    }
    const int r =
        line->OpenLine(_sd->getConfStr(_sd->key_server), _sd->getConfInt(_sd->key_port), channel);
    VTRACE(channel << ":: ConnectLine : ret=" << r);
    const bool ok = line->isConnectReady();
    VTRACE(channel << ":: ConnectLine after : isConnectReady : ret=" << ok);
    if (ok) {
        return 1;
    }
    std::lock_guard<std::mutex> lock(_mapLock);
    _lines.erase(channel);
    return -1;
}

int dw485_if::rs485_open(int channel, bool sniffer, unsigned char baudrate) {
    VTRACE(channel << ":: open : call Open <channel:" << channel << ">");
    // Without its configuration the library knows neither the daemon nor any group: the
    // daemon is not asked, as when it cannot be reached.
    if (_sd->getLoadResult() != 0) {
        VTRACE(channel << ":: open : no configuration : cannot read " << _sd->conf_file << " : "
                       << _sd->getLoadProblem());
        return -3;
    }
    // Every channel needs its receive and control items; with fewer configured there is
    // nothing to attach, so the daemon is not even asked.
    if (_sd->getConfShmemInGrpNum() < vel::shm::kMinEntries) {
        VTRACE(channel << ":: open : Attatch Shmem Error ret=too few items");
        return -1;
    }
    ChannelGate* gate = _gate(channel, true);
    std::lock_guard<std::mutex> calls(gate->Calls());
    SerialLine* line = _line(channel);
    if (line == nullptr) {
        VTRACE(channel << ":: open : is opened check -> not opened");
        if (ConnectLine(channel) != 1) {
            return -3;
        }
        line = _line(channel);
        // A new connection is a new user of the channel: no own cycle yet.
        std::lock_guard<std::mutex> segments(gate->Segments());
        std::lock_guard<std::mutex> lock(_mapLock);
        _ownRecords[channel].Reset();
    }
    const int r = line->Open(sniffer, baudrate);
    VTRACE(channel << ":: open : SOCKET Open <" << channel << "> ret=" << r);
    if (r < 0) {
        return -3;
    }
    shmem::SharedMemCli* shm = _attachment(channel);
    // The daemon may serve more lines than this process has groups configured: such a
    // channel is open at the daemon but has no shared memory here.
    if (shm == nullptr) {
        VTRACE(channel << ":: open : Attatch Shmem Error ret=no group");
        return -1;
    }
    std::unique_lock<std::mutex> segments(gate->Segments());
    if (shm->IsAttached()) {
        segments.unlock();
        // Opened again by this process: its cycles take the baud index of this open.
        _register(*line, *shm, baudrate);
        return -2;
    }
    // A group number kept from a failed attach is retried rather than taken as attached.
    shm->SetShmemNo(channel);
    const int a = shm->Attatch();
    VTRACE(channel << ":: open ------- SHMEM Attatch <" << channel << "> ret=" << a);
    if (a != 0) {
        VTRACE(channel << ":: open : Attatch Shmem Error ret=" << a);
        return -1;
    }
    segments.unlock();
    _register(*line, *shm, baudrate);
    return 0;
}

void dw485_if::_register(SerialLine& line, const shmem::SharedMemCli& shm, int baudrate) {
    // A daemon that refuses, or does not know the order, serves the channel's shared settings.
    if (shm.SegmentSize(vel::shm::kControlEntry) < vel::shm::kControlSegmentWithIdentity) {
        VTRACE(line.GetChannel() << ":: open : no room for an identity : shared settings");
        return;
    }
    const uint32_t id = line.Register(static_cast<int>(::getpid()), baudrate);
    VTRACE(line.GetChannel() << ":: open : user " << id);
}

void dw485_if::rs485_close(int channel) {
    ChannelGate* gate = _gate(channel, false);
    if (gate == nullptr) {
        return;
    }
    // A call waiting for the daemon on another thread gives up within one wait slice; the
    // segments are detached only after it has left.
    gate->BeginClose();
    {
        std::lock_guard<std::mutex> calls(gate->Calls());
        SerialLine* line = _line(channel);
        if (line != nullptr) {
            line->Close();
            {
                std::lock_guard<std::mutex> lock(_mapLock);
                _lines.erase(channel);
            }
            shmem::SharedMemCli* shm = _attachment(channel);
            if (shm != nullptr && shm->GetShmemNo() >= 0) {
                std::lock_guard<std::mutex> segments(gate->Segments());
                _release(*shm);
            }
            VTRACE(channel << ":: close : SOCKET Close");
        }
    }
    gate->EndClose();
}

SerialLine* dw485_if::_lockedLine(int channel, std::unique_lock<std::mutex>* calls) {
    ChannelGate* gate = _gate(channel, false);
    if (gate == nullptr) {
        return nullptr;
    }
    *calls = std::unique_lock<std::mutex>(gate->Calls());
    return _line(channel);
}

void dw485_if::rs485_setPortParams(int channel, int mc_num, unsigned char ctrl_bit, short time_out,
                                   unsigned char delm_type, unsigned char len_after_delm,
                                   unsigned char wait_time) {
    std::unique_lock<std::mutex> calls;
    SerialLine* line = _lockedLine(channel, &calls);
    if (line == nullptr) {
        VTRACE(channel << ":: setPortParams : not opened");
        return;
    }
    line->SetPortParams(mc_num, ctrl_bit, time_out, delm_type, len_after_delm, wait_time);
    VTRACE(channel << ":: setPortParams");
}

int dw485_if::rs485_setComFlags(int channel, int flags) {
    std::unique_lock<std::mutex> calls;
    SerialLine* line = _lockedLine(channel, &calls);
    if (line == nullptr) {
        VTRACE(channel << ":: setComFlags : not opened");
        return 0;
    }
    const int r = line->SetComFlags(flags);
    VTRACE(channel << ":: setComFlags");
    return r == 0 ? 1 : 0;
}

int dw485_if::rs485_setReplyFraming(int channel, int mc_num, int kind, int length) {
    std::unique_lock<std::mutex> calls;
    SerialLine* line = _lockedLine(channel, &calls);
    if (line == nullptr) {
        VTRACE(channel << ":: setReplyFraming : not opened");
        return 0;
    }
    const int r = line->SetReplyFraming(mc_num, kind, length);
    VTRACE(channel << ":: setReplyFraming ret=" << r);
    return r == 0 ? 1 : 0;
}

void dw485_if::rs485_addEventListener(int channel, Listener listener) {
    {
        std::lock_guard<std::mutex> lock(_mapLock);
        _listeners.erase(channel);
        // A null listener would be called at the next cycle; it only removes the old one.
        if (listener == nullptr) {
            return;
        }
        _listeners[channel] = listener;
    }
    VTRACE(channel << ":: addEventListener : insert[" << channel << "]");
}

void dw485_if::rs485_removeEventListener(int channel) {
    std::lock_guard<std::mutex> lock(_mapLock);
    _listeners.erase(channel);
}

void dw485_if::rs485_shutdown() {
    int channel = 0;
    {
        std::lock_guard<std::mutex> lock(_mapLock);
        if (_lines.empty()) {
            return;
        }
        channel = _lines.begin()->first;
    }
    ChannelGate* gate = _gate(channel, true);
    std::lock_guard<std::mutex> calls(gate->Calls());
    SerialLine* line = _line(channel);
    if (line != nullptr) {
        line->Shutdown();
    }
}

void dw485_if::_daemonGone(int channel, ChannelGate& gate, shmem::SharedMemCli& shm) {
    std::lock_guard<std::mutex> segments(gate.Segments());
    if (shm.GetShmemNo() >= 0) {
        _release(shm);
    }
    VTRACE(channel << ":: the daemon is gone : shared memory detached; close and open the "
                      "channel again");
}

int dw485_if::rs485_putOutputStream(int channel, int mc_num, const xfer_data* buf) {
    shmem::SharedMemCli* shm = _attachment(channel);
    if (shm == nullptr || !MachineInRange(mc_num) || buf == nullptr ||
        buf->len > vel::shm::kSendBufferSize || (buf->len > 0 && buf->data == nullptr)) {
        return 0;
    }
    ChannelGate* gate = _gate(channel, false);
    if (gate == nullptr) {
        return 0;
    }
    std::lock_guard<std::mutex> calls(gate->Calls());
    if (!shm->IsAttached() || gate->Closing()) {
        return 0;
    }
    const SerialLine* line = _line(channel);
    RequestExchange exchange(*shm, *gate, line != nullptr ? line->Socket().getDescriptor() : -1,
                             channel, line != nullptr ? line->UserId() : 0U);

    VTRACE(channel << ":: putOutputStream ----- send mutex lock");
    RequestExchange::Outcome o =
        exchange.Post(vel::shm::kTransmitRequest, mc_num, buf->data, buf->len);
    VTRACE(channel << ":: putOutputStream ----- send mutex unlock");
    int32_t result = -1;
    if (o == RequestExchange::Outcome::kDone) {
        VTRACE(channel << ":: putOutputStream  ----- WAIT UNLOCK SEMAPHORE (putOutputStream): "
                          "Data Set (unlock from dwmid)");
        o = exchange.Collect(vel::shm::kTransmitAnswer, &result);
    }
    if (o == RequestExchange::Outcome::kDaemonGone) {
        _daemonGone(channel, *gate, *shm);
    }
    return o == RequestExchange::Outcome::kDone && result == vel::shm::kRequestSuccess ? 1 : 0;
}

int dw485_if::rs485_startCom(int channel) {
    ChannelGate* gate = _gate(channel, false);
    if (gate == nullptr) {
        VTRACE(channel << ":: startCom : not opened");
        return 0;
    }
    bool failed = true;
    {
        std::lock_guard<std::mutex> calls(gate->Calls());
        const SerialLine* line = _line(channel);
        if (line == nullptr) {
            VTRACE(channel << ":: startCom : not opened");
            return 0;
        }
        shmem::SharedMemCli* shm = _attachment(channel);
        if (shm == nullptr || !shm->IsAttached() || channel >= kChannelMaskBits ||
            gate->Closing()) {
            return 0;
        }
        RequestExchange exchange(*shm, *gate, line->Socket().getDescriptor(), channel,
                                 line->UserId());
        RequestExchange::Outcome o =
            exchange.Post(vel::shm::kComRequest, vel::shm::kComMode, nullptr, -1);
        int32_t answer = vel::shm::kRequestFailure;
        if (o == RequestExchange::Outcome::kDone) {
            VTRACE(channel << ":: startCom  ----- WAIT UNLOCK SEMAPHORE (startCom): Data Receive "
                              "(unlock from dwmid)");
            o = exchange.Collect(vel::shm::kComAnswer, &answer, [&](bool records) {
                if (records) {
                    _captureOwn(channel, *gate, *shm);
                }
            });
        }
        if (o == RequestExchange::Outcome::kDaemonGone) {
            _daemonGone(channel, *gate, *shm);
        }
        // Without an answer to this request nothing ran that a listener could report.
        if (o != RequestExchange::Outcome::kDone) {
            return 0;
        }
        failed = answer != vel::shm::kRequestSuccess;
        VTRACE(channel << ":: startCom  ret = {} --> " << (failed ? "false --> " : "true --> ")
                       << channel << " channel=" << channel << (failed ? "->[ng] " : "->[ok] "));
        VTRACE(channel << ":: startCom : call Callback : channel=" << channel);
    }
    // Called without any lock held: the listener may use the library, this channel too.
    const Listener listener = _listener(channel);
    if (listener != nullptr) {
        listener();
    }
    return failed ? 0 : 1;
}

bool dw485_if::_lockReceive(int channel, const ChannelGate& gate, shmem::SharedMemCli& shm) {
    // A peer stopped while it holds the receive lock must not keep this reader, and the close
    // that waits for the reader, for ever.
    while (true) {
        const int rc = shm.MutexLockFor(vel::shm::kReceiveEntry, RequestExchange::kSliceMillis);
        if (rc == 0) {
            return true;
        }
        if (rc != ETIMEDOUT || gate.Closing() || shm.IsRemoved(vel::shm::kReceiveEntry)) {
            VTRACE(channel << ":: getReceiveStream : receive lock not taken, nothing copied");
            return false;
        }
    }
}

void dw485_if::_captureOwn(int channel, ChannelGate& gate, shmem::SharedMemCli& shm) {
    std::lock_guard<std::mutex> segments(gate.Segments());
    shmem::OwnRecords* own = nullptr;
    {
        std::lock_guard<std::mutex> lock(_mapLock);
        own = &_ownRecords[channel];
    }
    if (!shm.IsAttached() || !_lockReceive(channel, gate, shm)) {
        return;
    }
    const auto* rcv =
        static_cast<const vel::shm::ReceiveSegment*>(shm.GetShmemAddr(vel::shm::kReceiveEntry));
    own->Capture(*rcv);
    shm.MutexUnlock(vel::shm::kReceiveEntry);
}

void dw485_if::_copyRecords(int channel, const vel::shm::ReceiveRecord* records, int32_t stamp,
                            shmem::ReceiveDataMem& copy, int mc) const {
    auto take = [&copy, records](int m) {
        const vel::shm::ReceiveRecord& r = records[m];
        if (copy.IsNewestDateAndUpdate(m, r.time)) {
            copy.DataCopy(m, r.dalen, r.statu, r.da, r.time);
            copy.ReturnDataCopy(m);
        }
    };
    if (mc != kAllMachines) {
        take(mc);
        return;
    }
    if (!copy.IsUpdateDatas(stamp)) {
        return;
    }
    // Only the line's machines are refreshed; the setting cannot widen the table.
    int machines = _sd->getConfLineInt(channel, _sd->key_max_machine);
    if (machines > vel::shm::kMachineCount) {
        machines = vel::shm::kMachineCount;
    }
    for (int m = 0; m < machines; ++m) {
        take(m);
    }
    copy.UpdateDatas(stamp);
}

void dw485_if::_copyReceived(int channel, const ChannelGate& gate, shmem::ReceiveDataMem& copy,
                             int mc) {
    const shmem::OwnRecords* own = nullptr;
    {
        std::lock_guard<std::mutex> lock(_mapLock);
        const auto it = _ownRecords.find(channel);
        own = it != _ownRecords.end() ? &it->second : nullptr;
    }
    // A process that runs cycles reads its own; one that only reads (a monitor) reads the
    // channel's newest, whoever ran it.
    if (own != nullptr && own->Valid()) {
        _copyRecords(channel, &own->Record(0), own->Stamp(), copy, mc);
        return;
    }
    shmem::SharedMemCli* shm = _attachment(channel);
    if (shm == nullptr || !shm->IsAttached() || !_lockReceive(channel, gate, *shm)) {
        return;
    }
    const auto* rcv =
        static_cast<const vel::shm::ReceiveSegment*>(shm->GetShmemAddr(vel::shm::kReceiveEntry));
    if ((rcv->data_flags & vel::shm::kReceiveWritten) != 0) {
        _copyRecords(channel, rcv->records, rcv->time, copy, mc);
    }
    shm->MutexUnlock(vel::shm::kReceiveEntry);
}

void* dw485_if::rs485_getReceiveStream(int channel, int mc) {
    if (_attachment(channel) == nullptr || (mc != kAllMachines && !MachineInRange(mc))) {
        return nullptr;
    }
    shmem::ReceiveDataMem* copy = nullptr;
    {
        std::lock_guard<std::mutex> lock(_mapLock);
        copy = &_receiveData.try_emplace(channel).first->second;
    }
    // A configured group's channel: the number of gates stays bounded.
    ChannelGate* gate = _gate(channel, true);
    std::lock_guard<std::mutex> segments(gate->Segments());
    _copyReceived(channel, *gate, *copy, mc);
    if (mc == kAllMachines) {
        return copy->Table();
    }
    return copy->Transfer(mc);
}

}  // namespace veldwlib
