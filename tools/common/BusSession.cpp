#include "BusSession.h"

#include <rs485.h>

namespace rs485tools {

BusSession::~BusSession() {
    // Even a refused open may have been counted by the daemon, so it is always closed.
    if (opened_) {
        pxa_rs485_close(channel_);
    }
}

int BusSession::Open(bool sniffer, int baud_index) {
    opened_ = true;
    return pxa_rs485_open(channel_, sniffer, static_cast<unsigned char>(baud_index));
}

bool BusSession::SetParams(int machine, const MachineParams& p) {
    pxa_rs485_setPortParams(channel_, machine, p.ctrl_bit, p.time_out, p.delm_type,
                            p.len_after_delm, p.wait_time);
    return p.reply_framing == RS485_REPLY_DELIMITED ||
           pxa_rs485_setReplyFraming(channel_, machine, p.reply_framing, p.reply_length) == 1;
}

bool BusSession::SetMachines(int mask) {
    return pxa_rs485_setComFlags(channel_, mask) == RS485_OK;
}

bool BusSession::Deposit(int machine, const std::vector<uint8_t>& request) {
    std::vector<uint8_t> copy = request;
    xfer_data x{};
    x.len = static_cast<unsigned short>(copy.size());
    x.data = copy.data();
    return pxa_rs485_putOutputStream(channel_, machine, &x) == RS485_OK;
}

bool BusSession::RunCycle() {
    return pxa_rs485_startCom(channel_) == RS485_OK;
}

std::vector<MachineReply> BusSession::Replies(int mask) const {
    std::vector<MachineReply> replies;
    auto* table = static_cast<xfer_data**>(pxa_rs485_getReceiveStream(channel_, 0));
    for (int m = 1; m <= RS485_MACHINE_COUNT; ++m) {
        if ((mask & (1 << (m - 1))) == 0) {
            continue;
        }
        MachineReply r;
        r.machine = m;
        const xfer_data* x = table != nullptr ? table[m - 1] : nullptr;
        if (x != nullptr) {
            r.status = x->status;
            r.data.assign(x->data, x->data + x->len);
        }
        replies.push_back(r);
    }
    return replies;
}

}  // namespace rs485tools
