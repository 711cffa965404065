#include "SerialLine.h"

#include "OrderWords.h"
#include "TextUtil.h"
#include "Trace.h"

namespace veldwlib {

SerialLine::SerialLine() {
    // The store is normally created by the facade first; creating it here keeps a line usable
    // on its own.
    data::SettingLibDatas::create();
    _sd = data::SettingLibDatas::get_instance();
}

int SerialLine::_replyWait() const {
    return _sd->getConfInt(_sd->key_res_wait_timeout);
}

std::string SerialLine::_order(const std::string& name) const {
    return name + vel::order::kFieldSeparator + std::to_string(_channel);
}

int SerialLine::OpenLine(const std::string& server, int port, int channel) {
    _channel = channel;
    // A fresh socket; any connection held before is closed by the move.
    _socket = conn::ClientSocket();
    const int r = _socket.connectServer(server, port);
    _stats = _socket.getReadyStatus();
    VTRACE(_channel << "::  in SerialLine conn ret=" << r << "  stats=" << _stats);
    return r;
}

bool SerialLine::isConnectReady() const {
    return _stats == conn::ClientSocket::kConnected;
}

int SerialLine::Open(bool sniffer, int baudrate) {
    const std::string order = _order(vel::order::kOpen) + vel::order::kFieldSeparator +
                              (sniffer ? "1" : "0") + vel::order::kFieldSeparator +
                              std::to_string(baudrate) + vel::order::kTerminator;
    VTRACE(_channel << ":: in Open sendData=" << order);
    std::string reply;
    const int r = _socket.SendAndRecvData(order, _replyWait(), reply);
    VTRACE(_channel << ":: in Open : ret=" << r << " ::: recv_data=" << reply);
    if (r >= 1) {
        if (reply == vel::order::kOpSuc) {
            return 0;
        }
        if (reply == vel::order::kOpAlr) {
            return 1;
        }
        return -1;
    }
    switch (r) {
        case 0:
            return -2;
        case -1:
            return -3;
        case -2:
            return -4;
        default:
            return -5;
    }
}

int SerialLine::_sendLast(const std::string& order) {
    const int n = _socket.SendData(order);
    _socket.disconnectServer();
    if (n > 0) {
        return 0;
    }
    return n < 0 ? -1 : -2;
}

int SerialLine::Close() {
    return _sendLast(_order(vel::order::kClose) + vel::order::kTerminator);
}

int SerialLine::Shutdown() {
    return _sendLast(std::string(vel::order::kShut) + vel::order::kTerminator);
}

void SerialLine::SetPortParams(int mc_num, uint8_t ctrl_bit, int16_t time_out, uint8_t delm_type,
                               uint8_t len_after_delm, uint8_t wait_time) {
    const char sep = vel::order::kFieldSeparator;
    const std::string order = _order(vel::order::kPort) + sep + std::to_string(mc_num) + sep +
                              std::to_string(ctrl_bit) + sep + std::to_string(time_out) + sep +
                              std::to_string(delm_type) + sep + std::to_string(len_after_delm) +
                              sep + std::to_string(wait_time) + vel::order::kTerminator;
    VTRACE(_channel << ":: in SetPortParams sendData=" << order);
    const int n = _socket.SendData(order);
    VTRACE(_channel << ":: in SetPortParams : ret=" << n);
}

int SerialLine::SetComFlags(int mask) {
    const std::string order = _order(vel::order::kCompt) + vel::order::kFieldSeparator +
                              std::to_string(mask) + vel::order::kTerminator;
    VTRACE(_channel << ":: in SetComFlags sendData=" << order);
    return _exchange(order, vel::order::kCpSuc);
}

int SerialLine::SetReplyFraming(int mc_num, int kind, int length) {
    const char sep = vel::order::kFieldSeparator;
    const std::string order = _order(vel::order::kFrame) + sep + std::to_string(mc_num) + sep +
                              std::to_string(kind) + sep + std::to_string(length) +
                              vel::order::kTerminator;
    VTRACE(_channel << ":: in SetReplyFraming sendData=" << order);
    return _exchange(order, vel::order::kFrSuc);
}

int SerialLine::_exchange(const std::string& order, const char* success) {
    std::string reply;
    const int r = _socket.SendAndRecvData(order, _replyWait(), reply);
    if (r >= 1) {
        if (reply == success) {
            return 0;
        }
        VTRACE(_channel << ":: ppppppppp recv_data=" << reply);
        return -99;
    }
    switch (r) {
        case 0:
            return -100;
        case -1:
            return -1;
        case -2:
            return -2;
        default:
            return -101;
    }
}

uint32_t SerialLine::Register(int pid, int baudrate) {
    const char sep = vel::order::kFieldSeparator;
    const std::string order = _order(vel::order::kUser) + sep + std::to_string(pid) + sep +
                              std::to_string(baudrate) + vel::order::kTerminator;
    VTRACE(_channel << ":: in Register sendData=" << order);
    std::string reply;
    const int r = _socket.SendAndRecvData(order, _replyWait(), reply);
    VTRACE(_channel << ":: in Register : ret=" << r << " ::: recv_data=" << reply);
    _userId = 0;
    const std::string prefix = vel::order::kUsPrefix;
    if (r >= 1 && reply.size() > prefix.size() && reply.compare(0, prefix.size(), prefix) == 0) {
        const int32_t id = vel::text::ToInt32(reply.substr(prefix.size()));
        if (id > 0) {
            _userId = static_cast<uint32_t>(id);
        }
    }
    return _userId;
}

}  // namespace veldwlib
