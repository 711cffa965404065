// The library's facade: per channel the process uses, the order client, the shared memory
// attachment, the private receive copy and an optional event listener.
//
// Threads: the maps are guarded by one facade lock, held only for lookups and changes, never
// across a wait. Each channel has a gate (ChannelGate): its call lock serialises the calls
// that use the channel's connection or request slot, its segment lock guards attach, detach
// and the copy of received frames. Listeners run after every lock is released.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "ChannelGate.h"
#include "OwnRecords.h"
#include "ReceiveDataMem.h"
#include "SerialLine.h"
#include "SettingLibDatas.h"
#include "SharedMemCli.h"
#include "PublicApi.h"

namespace veldwlib {

class dw485_if {
  public:
    using Listener = void (*)();

    dw485_if();
    virtual ~dw485_if();
    dw485_if(const dw485_if&) = delete;
    dw485_if& operator=(const dw485_if&) = delete;

    // 2 already connected; 1 connected now; -1 connection failed; -2 a stale entry was removed.
    // Called with the channel's call lock held (rs485_open).
    int ConnectLine(int channel);
    // 1 when the channel has a connected line, else 0.
    int readyStatus(int channel) const;

    // 0 open and attached; -1 open but not attached; -2 already attached; -3 open failed.
    int rs485_open(int channel, bool sniffer, unsigned char baudrate);
    void rs485_close(int channel);
    void rs485_setPortParams(int channel, int mc_num, unsigned char ctrl_bit, short time_out,
                             unsigned char delm_type, unsigned char len_after_delm,
                             unsigned char wait_time);
    // 1 success, else 0.
    int rs485_setComFlags(int channel, int flags);
    // 1 the daemon set the framing, else 0.
    int rs485_setReplyFraming(int channel, int mc_num, int kind, int length);
    void rs485_addEventListener(int channel, Listener listener);
    void rs485_removeEventListener(int channel);
    int rs485_getPortStatus() const { return 0; }
    void rs485_putPortStatus(unsigned char) {}
    int rs485_verGet() const { return 0; }
    void rs485_shutdown();

    // 1 the daemon accepted the request, else 0 (also when no answer came: the channel was
    // closed meanwhile or the daemon went away).
    int rs485_putOutputStream(int channel, int mc_num, const xfer_data* buf);
    // 1 cycle succeeded, else 0; the listener is called only when the cycle was answered.
    int rs485_startCom(int channel);
    // mc -1: the table of 15 xfer_data addresses; mc 0..14: that machine's xfer_data.
    // Null for a channel without an attachment slot or a machine out of range.
    void* rs485_getReceiveStream(int channel, int mc);

  private:
    void _initSettings();
    int _start();
    // The channel's attachment, or null for a channel outside the configured groups.
    shmem::SharedMemCli* _attachment(int channel) const;
    void _release(shmem::SharedMemCli& shm);
    // Copies what changed, from this process's own cycles once it has run one, else from the
    // segment; nothing when the receive lock cannot be had (see _lockReceive).
    void _copyReceived(int channel, const ChannelGate& gate, shmem::ReceiveDataMem& copy, int mc);
    // Copies records that changed from records with header stamp stamp.
    void _copyRecords(int channel, const vel::shm::ReceiveRecord* records, int32_t stamp,
                      shmem::ReceiveDataMem& copy, int mc) const;
    // The records of this process's cycle that has just been answered; called while its answer
    // still holds the slot.
    void _captureOwn(int channel, ChannelGate& gate, shmem::SharedMemCli& shm);
    // Asks the daemon for an identity on the channel when the control segment can carry it.
    void _register(SerialLine& line, const shmem::SharedMemCli& shm, int baudrate);
    // Takes the receive lock in wait slices; false when the channel is being closed or the
    // daemon has removed the segment before it was free.
    static bool _lockReceive(int channel, const ChannelGate& gate, shmem::SharedMemCli& shm);
    // The channel's gate; created when create is true, else null when there is none. Gates
    // are never removed, so the pointer stays valid.
    ChannelGate* _gate(int channel, bool create);
    // The channel's line, or null. Only used with the channel's call lock held: lines are
    // added and removed under that lock too.
    SerialLine* _line(int channel);
    // The channel's line with its call lock taken into *calls, or null (nothing locked) when
    // the channel has never been opened or is closed.
    SerialLine* _lockedLine(int channel, std::unique_lock<std::mutex>* calls);
    Listener _listener(int channel);
    // The daemon went away during a request: the channel's segments are detached so that a
    // restarted daemon can create its objects, and later data calls fail at once.
    void _daemonGone(int channel, ChannelGate& gate, shmem::SharedMemCli& shm);

    data::SettingLibDatas* _sd{nullptr};
    mutable std::mutex _mapLock;
    std::map<int, ChannelGate> _gates;
    std::map<int, SerialLine> _lines;
    std::map<int, Listener> _listeners;
    std::vector<std::unique_ptr<shmem::SharedMemCli>> _shmem;
    std::map<int, shmem::ReceiveDataMem> _receiveData;
    // Per channel, under its segment lock once created (map changes under _mapLock).
    std::map<int, shmem::OwnRecords> _ownRecords;
};

}  // namespace veldwlib
