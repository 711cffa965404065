// One channel's order client: owns the channel's connection to the daemon, composes the
// orders for that channel and maps the reply or the transport failure to a result.
#pragma once

#include <cstdint>
#include <string>

#include "ClientSocket.h"
#include "SettingLibDatas.h"

namespace veldwlib {

class SerialLine {
  public:
    SerialLine();
    virtual ~SerialLine() = default;
    SerialLine(const SerialLine&) = delete;
    SerialLine& operator=(const SerialLine&) = delete;

    // Result of connectServer.
    int OpenLine(const std::string& server, int port, int channel);
    bool isConnectReady() const;
    // 0 "opsuc"; 1 "opalr"; -1 other reply; -2 no reply in time; -3 send failed;
    // -4 receive failed or closed by the daemon; -5 any other transport result.
    int Open(bool sniffer, int baudrate);
    // 0 order sent; -1 send failed; -2 nothing sent. The connection is closed afterwards.
    int Close();
    void SetPortParams(int mc_num, uint8_t ctrl_bit, int16_t time_out, uint8_t delm_type,
                       uint8_t len_after_delm, uint8_t wait_time);
    // 0 "cpsuc"; -99 other reply; -100 no reply in time; -1 send failed; -2 receive failed or
    // closed; -101 any other transport result.
    int SetComFlags(int mask);
    // 0 "frsuc"; -99 other reply ("frerr", "err1"); -100 no reply in time; -1 send failed;
    // -2 receive failed or closed; -101 any other transport result.
    int SetReplyFraming(int mc_num, int kind, int length);
    // As Close, with the order "shut".
    int Shutdown();
    // Asks the daemon for an identity of this process on the channel, which then keeps this
    // connection's settings, requests and results apart from other processes'. The identity,
    // or 0 when the daemon refused (the channel's shared settings apply) or did not answer.
    uint32_t Register(int pid, int baudrate);
    // The identity of the last Register, 0 none.
    uint32_t UserId() const { return _userId; }

    int GetChannel() const { return _channel; }
    const conn::ClientSocket& Socket() const { return _socket; }

  private:
    std::string _order(const std::string& name) const;
    int _sendLast(const std::string& order);
    // Sends an order that is answered and maps the reply: 0 the word success, else as
    // SetComFlags.
    int _exchange(const std::string& order, const char* success);
    int _replyWait() const;

    data::SettingLibDatas* _sd;
    conn::ClientSocket _socket;
    int _stats{0};
    int _channel{-1};
    uint32_t _userId{0};
};

}  // namespace veldwlib
