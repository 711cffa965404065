// Driver of one RS-485 channel: the tty, the transceiver direction control, the table of
// slave machines and the polling cycle with the framing of the replies.
#pragma once

#include <termios.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "DirectionControl.h"
#include "LinePacer.h"
#include "LinePort.h"
#include "MachineTable.h"
#include "Rs485Machine.h"
#include "Rs485Settings.h"
#include "ShmLayout.h"

namespace veldw485::line {

class Rs485Control : private LinePort {
  public:
    // A max_machine above the table size is taken as the table size. The direction control
    // is that of the line's settings.
    Rs485Control(const std::string& device, std::unique_ptr<DirectionControl> direction,
                 int baudrate, int max_machine, int channel);
    // The direction control that de_line selects: "none" RTS with the SPI tool, anything
    // else GPIO 86.
    Rs485Control(const std::string& device, const std::string& de_line, int baudrate,
                 int max_machine, int channel);
    // Closes what the owner left open, so that a driver dropped after a failed Open does not
    // keep the tty.
    ~Rs485Control() override;
    Rs485Control(const Rs485Control&) = delete;
    Rs485Control& operator=(const Rs485Control&) = delete;

    // 0 opened; -1 already open; -2 baud index above 5; -3 tty; -4 the direction control
    // (GPIO value file, RS-485 mode, GPIO line) could not be opened: the tty stays open and
    // DirectionFailure() gives the reason where the control has one.
    int Open(bool sniffer, unsigned char baudrate);
    // Bit set: 1 releasing the direction control failed, 16 closing the tty failed. Output
    // still queued is discarded, so a stuck transmitter does not hold the close.
    int Close();

    const std::string& DirectionFailure() const { return _direction->Failure(); }
    std::string DirectionText() const { return _direction->Describe(); }

    // -1 machine number outside 0..max_machine or the table; 1 stop bits 1.5 replaced by 2;
    // 0 stored.
    int SetPortParams(int mc_num, unsigned char ctrl_bit, short time_out, unsigned char delm_type,
                      unsigned char len_after_delm, unsigned char wait_time);
    // How the replies of machine mc_num end (ReplyFraming values; length 1..436 for a fixed
    // length, not looked at otherwise). 0 stored; -1 machine outside 0..max_machine or the
    // table; -2 kind or length out of range.
    int SetReplyFraming(int mc_num, int kind, int length);
    int SetComFlags(int use_machine_flags);
    // 1 stored; 0 refused (machine outside the table, length outside 0..64, no data).
    int SetSendData(int mc_num, const unsigned char* data, int len);
    // A copy of the machine's record; a zeroed record outside the table.
    Rs485Machine GetMachine(int mc_num);
    // One polling cycle over the machines selected by the mask as it stands at the start, with
    // the channel's table as it stands then.
    // lens: 15 reply lengths; areas: 15 receive areas of 436 bytes; statuses (optional): the
    // 15 statuses as this cycle leaves them. A machine the cycle does not poll keeps its
    // entries of lens and areas and gets its selection (0 or 1) as status. A reply time-out
    // keeps the bytes received before it (status 4); any other failure reports length 0 with
    // status 24. 1 when every transaction succeeded (always in sniffer mode), 0 otherwise.
    int StartCom(int* lens, unsigned char* areas, unsigned char* statuses = nullptr);
    // The same with a table of a client's own: its selection, parameters, requests and speed.
    // The channel's table is left as it is.
    int StartCom(const MachineTable& table, int* lens, unsigned char* areas,
                 unsigned char* statuses);
    int MaxMachine() const { return _rs485settings.max_machine; }
    // The baud index of the last Open.
    int OpenBaud() const { return _openBaud; }
    // A copy of the channel's table.
    MachineTable Table();
    // Baud indexes 0 .. kBaudIndexes - 1 are supported.
    static constexpr int kBaudIndexes = 6;

  protected:
    static constexpr int kBitsPerChar = 11;

    // Applies a character format (Rs485Machine::ctrl_bit) to the tty; the tcsetattr result.
    int _setLineFormat(unsigned char ctrl_bit);
    // The number of bytes in the tty's output queue (TIOCOUTQ); the ioctl result.
    virtual int _outputQueue(int* queued);
    // One transaction with a machine polled with record mc and request buf: 0 reply received, 1
    // no valid reply, -1 ended before the reply wait (write failed, output queue not readable
    // or not drained). *status receives 2, 4 or 24, *len_out the bytes kept (0 with status 24).
    int _stComWriteData(int mc_num, const Rs485Machine& mc, const MachineTable::SendBuffer& buf,
                        int* len_out, unsigned char* area, unsigned char* status);
    // Collects one reply into area (at most 436 bytes); 1 complete, 0 time-out or read error.
    // *status receives 2, 4 or 24; a reply that would overflow the area or outlasts its
    // bound ends with 24, and so does a Modbus RTU reply with a wrong CRC. The machine's
    // framing says where the reply ends. grace_us: time the request still spends on the line,
    // before the time-out starts counting.
    unsigned char _rs485_rcvData(int mc_num, const Rs485Machine& mc, int* len_out,
                                 unsigned char* area, unsigned char* status, int64_t grace_us = 0);
    DirectionControl& _directionControl() { return *_direction; }

    const std::string device;
    std::unique_ptr<DirectionControl> _direction;
    int _fdTty{-1};
    termios _termios{};
    Rs485Settings _rs485settings;
    LinePacer _pacer;

  private:
    // LinePort, for the direction control's waits.
    int PortFd() const override { return _fdTty; }
    std::string PortTag() const override { return _tag(); }
    int CharTime() const override { return _rs485settings.char_time; }
    int SleepTime() const override { return _rs485settings.sleep_time; }
    int QueryOutput(int* queued) override { return _outputQueue(queued); }
    void WaitOnLine(int64_t us) override { _pacer.Wait(us); }
    int ReadInput(unsigned char* buf, int max) override;

    // The cycle over table; channel_wide: the statuses go to the channel's table too.
    int _cycle(MachineTable& table, bool channel_wide, int* lens, unsigned char* areas,
               unsigned char* statuses);
    // Puts the line at baud index baudrate (-1: the index it was opened with) for the next
    // transactions; false for an index outside the table.
    bool _applyBaud(int baudrate);
    // The reception of a reply whose framing gives its end (fixed length, Modbus RTU): reads
    // no byte beyond that end and stops at it without waiting for silence. Returns 0
    // complete, or the status of the failure (4, 24); *rcv_dlen the bytes stored.
    unsigned char _rcvFramed(const std::string& tag, const Rs485Machine& mc, unsigned char* area,
                             int* rcv_dlen, uint32_t limit, int64_t reply_bound);
    // Stores a machine's status unless a new mask was set since the cycle began: the table
    // then shows the selection of that order, not the results of the older cycle.
    void _setComFlag(int mc_num, unsigned char value);
    // Sets the machine's format, or only discards unread input when it is in force already.
    void _prepareLine(unsigned char ctrl_bit);
    // Ends a transaction before the reply wait: the bus back to receive, no bytes, status 24.
    int _endEarly(int* len_out, unsigned char* status);
    std::string _tag() const;
    std::string _tag(int mc_num) const;

    // Guards _table, written by the order thread (parameters, selection) and the worker
    // (requests) while the worker runs a cycle over a copy.
    std::mutex _tableLock;
    MachineTable _table;
    // Counts SetComFlags calls; the cycle keeps the value it started with. Both under the
    // table lock.
    unsigned _maskGeneration{0};
    unsigned _cycleGeneration{0};
    // The baud index of the last Open.
    int _openBaud{-1};
    // The ctrl_bit in force on the tty; -1 when none was set since the tty was opened.
    int _appliedFormat{-1};
    // Set when the output queue of a transaction did not drain and was discarded: until a
    // request drains again, no call may wait for the queue (a tcsetattr with TCSAFLUSH would
    // wait without bound for a transmitter that does not send).
    bool _queueAbandoned{false};
};

}  // namespace veldw485::line
