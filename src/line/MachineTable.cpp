#include "MachineTable.h"

#include <cstring>

namespace veldw485::line {

using vel::shm::kMachineCount;
using vel::shm::kSendBufferSize;

int MachineTable::SetPortParams(int mc_num, int max_machine, unsigned char ctrl_bit, short time_out,
                                unsigned char delm_type, unsigned char len_after_delm,
                                unsigned char wait_time) {
    if (mc_num < 0 || mc_num > max_machine || mc_num >= kMachineCount) {
        return -1;
    }
    int result = 0;
    if ((ctrl_bit & 4) != 0) {
        // 1.5 stop bits cannot be set on the tty; two is the nearest format.
        ctrl_bit = static_cast<unsigned char>((ctrl_bit & 0xf3) | 8);
        result = 1;
    }
    Rs485Machine& mc = _machines[mc_num];
    mc.ctrl_bit = ctrl_bit;
    mc.time_out = time_out;
    mc.delm_type = delm_type;
    mc.len_after_delm = len_after_delm;
    mc.wait_time = wait_time;
    return result;
}

int MachineTable::SetReplyFraming(int mc_num, int max_machine, int kind, int length) {
    if (mc_num < 0 || mc_num > max_machine || mc_num >= kMachineCount) {
        return -1;
    }
    if (kind < static_cast<int>(ReplyFraming::kDelimited) ||
        kind > static_cast<int>(ReplyFraming::kModbusRtu) ||
        (kind == static_cast<int>(ReplyFraming::kLength) &&
         (length < 1 || length > vel::shm::kReceiveAreaSize))) {
        return -2;
    }
    Rs485Machine& mc = _machines[mc_num];
    mc.reply_framing = static_cast<ReplyFraming>(kind);
    mc.reply_length =
        kind == static_cast<int>(ReplyFraming::kLength) ? static_cast<uint16_t>(length) : 0;
    return 0;
}

void MachineTable::SetComFlags(int use_machine_flags) {
    _mask = use_machine_flags;
    for (int i = 0; i < kMachineCount; ++i) {
        _machines[i].com_flag = static_cast<unsigned char>((use_machine_flags >> i) & 1);
    }
}

int MachineTable::SetSendData(int mc_num, const unsigned char* data, int len) {
    if (mc_num < 0 || mc_num >= kMachineCount || len < 0 || len > kSendBufferSize ||
        (data == nullptr && len > 0)) {
        return 0;
    }
    SendBuffer& buf = _buffers[mc_num];
    if (len > 0) {
        std::memcpy(buf.data, data, static_cast<std::size_t>(len));
    }
    buf.len = static_cast<uint16_t>(len);
    return 1;
}

void MachineTable::SetComFlag(int mc_num, unsigned char value) {
    if (mc_num >= 0 && mc_num < kMachineCount) {
        _machines[mc_num].com_flag = value;
    }
}

}  // namespace veldw485::line
