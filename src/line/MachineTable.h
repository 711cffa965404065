// What one polling cycle works with: the 15 machines' parameters and selection, the request
// deposited for each, and the line speed. The channel keeps one for the clients that share
// its settings, and each client with an identity keeps its own.
#pragma once

#include <cstdint>

#include "Rs485Machine.h"
#include "ShmLayout.h"

namespace veldw485::line {

class MachineTable {
  public:
    struct SendBuffer {
        uint16_t len{0};
        unsigned char data[vel::shm::kSendBufferSize]{};
    };

    // Baud index 0..5; -1 the speed the line was opened with.
    explicit MachineTable(int baudrate = -1) : _baudrate(baudrate) {}

    // -1 machine number outside 0..max_machine or the table; 1 stop bits 1.5 replaced by 2;
    // 0 stored.
    int SetPortParams(int mc_num, int max_machine, unsigned char ctrl_bit, short time_out,
                      unsigned char delm_type, unsigned char len_after_delm,
                      unsigned char wait_time);
    // How the machine's replies end (ReplyFraming), with the length of kLength replies. -1
    // machine number as for SetPortParams; -2 kind unknown or length outside 1..436; 0 stored.
    // Parameters set later keep it.
    int SetReplyFraming(int mc_num, int max_machine, int kind, int length);
    // Selects the machines of the mask (bit i: machine i) for the next cycle.
    void SetComFlags(int use_machine_flags);
    // 1 stored; 0 refused (machine outside the table, length outside 0..64, no data).
    int SetSendData(int mc_num, const unsigned char* data, int len);
    // A machine's status after a cycle (2, 4, 24) in place of its selection.
    void SetComFlag(int mc_num, unsigned char value);

    const Rs485Machine& Machine(int mc_num) const { return _machines[mc_num]; }
    const SendBuffer& Send(int mc_num) const { return _buffers[mc_num]; }
    int Mask() const { return _mask; }
    int Baudrate() const { return _baudrate; }
    void SetBaudrate(int baudrate) { _baudrate = baudrate; }

  private:
    Rs485Machine _machines[vel::shm::kMachineCount];
    SendBuffer _buffers[vel::shm::kMachineCount];
    int _mask{0};
    int _baudrate;
};

}  // namespace veldw485::line
