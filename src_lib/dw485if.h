// The library's facade: per channel the process uses, the order client, the shared memory
// attachment, the private receive copy and an optional event listener.
#pragma once

#include <map>
#include <memory>
#include <vector>

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
    void rs485_addEventListener(int channel, Listener listener);
    void rs485_removeEventListener(int channel);
    int rs485_getPortStatus() const { return 0; }
    void rs485_putPortStatus(unsigned char) {}
    int rs485_verGet() const { return 0; }
    void rs485_shutdown();

    // 1 the daemon accepted the request, else 0.
    int rs485_putOutputStream(int channel, int mc_num, const xfer_data* buf);
    // 1 cycle succeeded, else 0.
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
    void _copyReceived(int channel, shmem::ReceiveDataMem& copy, int mc);

    data::SettingLibDatas* _sd{nullptr};
    std::map<int, SerialLine> _lines;
    std::map<int, Listener> _listeners;
    std::vector<std::unique_ptr<shmem::SharedMemCli>> _shmem;
    std::map<int, shmem::ReceiveDataMem> _receiveData;
};

}  // namespace veldwlib
