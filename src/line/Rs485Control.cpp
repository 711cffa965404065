#include "Rs485Control.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "DirectionConfig.h"
#include "ModbusRtuFrame.h"
#include "TextUtil.h"
#include "Trace.h"

namespace veldw485::line {

namespace {

using vel::shm::kMachineCount;
using vel::shm::kReceiveAreaSize;

struct BaudEntry {
    speed_t speed;
    int bit_time_us;
};

constexpr BaudEntry kBaudTable[] = {
    {B1200, 840}, {B2400, 420}, {B4800, 210}, {B9600, 105}, {B19200, 53}, {B38400, 27},
};
constexpr int kBaudCount = sizeof(kBaudTable) / sizeof(kBaudTable[0]);
static_assert(kBaudCount == Rs485Control::kBaudIndexes, "one speed per baud index");

constexpr int kOutQueueTries = 101;
constexpr int kSilentPollsToEnd = 3;  // the reply ends when the silence count exceeds this
constexpr int kReadChunk = 4;
// Once its first byte has come, a reply must be complete within the machine's time-out plus
// this many times the wire time of the longest reply the framing takes (a full area, the
// delimiter and len_after_delm bytes); a machine or a floating bus that never falls silent
// ends with status 24.
constexpr int kReplyBoundFactor = 2;

std::string Hex(const unsigned char* data, int len) {
    return vel::text::BytesToHex(data, static_cast<std::size_t>(len));
}

}  // namespace

Rs485Control::Rs485Control(const std::string& device, std::unique_ptr<DirectionControl> direction,
                           int baudrate, int max_machine, int channel)
    : device(device), _direction(std::move(direction)), _rs485settings() {
    _rs485settings.channel = channel;
    _rs485settings.baudrate = baudrate;
    _rs485settings.max_machine = std::min(max_machine, kMachineCount);
}

Rs485Control::Rs485Control(const std::string& device, const std::string& de_line, int baudrate,
                           int max_machine, int channel)
    : Rs485Control(device, DirectionControl::Create(DirectionConfig::FromDeLine(de_line), channel),
                   baudrate, max_machine, channel) {}

Rs485Control::~Rs485Control() {
    if (_fdTty >= 0) {
        (void)_direction->Close();
        ::close(_fdTty);
    }
}

std::string Rs485Control::_tag() const {
    return "in thread [" + std::to_string(_rs485settings.channel) + "]: ";
}

std::string Rs485Control::_tag(int mc_num) const {
    return "in thread [" + std::to_string(_rs485settings.channel) + "->" + std::to_string(mc_num) +
           "]: ";
}

int Rs485Control::Open(bool sniffer, unsigned char baudrate) {
    if (_fdTty >= 0) {
        return -1;
    }
    _rs485settings.baudrate = baudrate;
    if (baudrate >= kBaudCount) {
        return -2;
    }
    _openBaud = baudrate;
    _rs485settings.baudrate = -1;
    (void)_applyBaud(baudrate);
    // The thread that opens the line is the one that runs its cycles.
    LinePacer::PreciseWakeups();
    _queueAbandoned = false;

    _direction->BeforeOpen();
    _rs485settings.sniffer = sniffer ? 1 : 0;

    _fdTty = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (_fdTty < 0) {
        const int open_errno = errno;  // kept for the caller's log line
        VERROR("RS-485: Open error: fd=" << _fdTty << "  device=" << device);
        _fdTty = -1;
        errno = open_errno;
        return -3;
    }
    VTRACE(_tag() << "RS-485: Open: fd=" << _fdTty << "  device=" << device);

    // Results ignored: a device that refuses part of this still carries bytes.
    ::tcgetattr(_fdTty, &_termios);
    ::cfmakeraw(&_termios);
    ::cfsetospeed(&_termios, _rs485settings.speed);
    ::cfsetispeed(&_termios, _rs485settings.speed);
    _termios.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB);
    _termios.c_cflag |= CLOCAL | CREAD | CS8;
    if (_direction->FlowControl()) {
        _termios.c_cflag |= CRTSCTS;
    } else {
        _termios.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    }
    _termios.c_cc[VMIN] = 0;
    _termios.c_cc[VTIME] = 0;
    _termios.c_iflag &= ~static_cast<tcflag_t>(INPCK);
    _termios.c_oflag &= ~static_cast<tcflag_t>(OLCUC | ONLCR | OCRNL | ONLRET | OFILL | OFDEL);
    _termios.c_oflag &=
        ~static_cast<tcflag_t>(OPOST | NLDLY | CRDLY | TABDLY | BSDLY | VTDLY | FFDLY);
    _termios.c_oflag |= ONOCR;
    _termios.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    ::tcsetattr(_fdTty, TCSAFLUSH, &_termios);

    return _direction->Open(_fdTty, baudrate) == 0 ? 0 : -4;
}

int Rs485Control::Close() {
    int result = 0;
    if (_fdTty >= 0) {
        result = _direction->Close();
        // Nothing the line needs is queued now; whatever a stuck transmitter still holds
        // would make the close wait for the driver's closing time.
        ::tcflush(_fdTty, TCOFLUSH);
    }
    // Closing -1 fails on purpose: it reports a Close of a port that was not open.
    if (::close(_fdTty) != 0) {
        VERROR(_tag() << "RS-485: Close error: fd=" << _fdTty << "  device=" << device);
        result += 16;
    }
    _fdTty = -1;
    _appliedFormat = -1;
    return result;
}

int Rs485Control::ReadInput(unsigned char* buf, int max) {
    const ssize_t n = ::read(_fdTty, buf, static_cast<std::size_t>(max));
    if (n < 0) {
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
    return static_cast<int>(n);
}

int Rs485Control::_setLineFormat(unsigned char ctrl_bit) {
    ::tcgetattr(_fdTty, &_termios);
    ::cfmakeraw(&_termios);
    _termios.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD);
    _termios.c_iflag &= ~static_cast<tcflag_t>(INPCK);
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    _termios.c_cflag |= kSizes[ctrl_bit & 3];
    int send_bit = 5 + (ctrl_bit & 3) + 2;
    if ((ctrl_bit & 8) != 0) {
        _termios.c_cflag |= CSTOPB;
        ++send_bit;
    }
    if ((ctrl_bit & 16) != 0) {
        _termios.c_cflag |= PARENB;
        _termios.c_iflag |= INPCK;
        if ((ctrl_bit & 32) != 0) {
            _termios.c_cflag |= PARODD;
        }
        ++send_bit;
    }
    _termios.c_cflag |= CLOCAL | CREAD;
    // The speed of the table being polled: clients of one line may use different ones.
    ::cfsetospeed(&_termios, _rs485settings.speed);
    ::cfsetispeed(&_termios, _rs485settings.speed);
    VTRACE(_tag() << "RS-485: startCom : c_flg=" << _termios.c_cflag << "  send_bit=" << send_bit);
    int action = TCSAFLUSH;
    if (_queueAbandoned) {
        // TCSAFLUSH would wait for the queue first: the input is discarded on its own.
        ::tcflush(_fdTty, TCIFLUSH);
        action = TCSANOW;
    }
    const int ret = ::tcsetattr(_fdTty, action, &_termios);
    _appliedFormat = ret == 0 ? ctrl_bit : -1;
    return ret;
}

void Rs485Control::_prepareLine(unsigned char ctrl_bit) {
    // Most lines use one format for every machine: setting it again for each would cost two
    // system calls a machine and, on a UART, a reprogramming of the port.
    if (_appliedFormat == ctrl_bit) {
        ::tcflush(_fdTty, TCIFLUSH);
        return;
    }
    _setLineFormat(ctrl_bit);
}

int Rs485Control::_outputQueue(int* queued) {
    return ::ioctl(_fdTty, TIOCOUTQ, queued);
}

bool Rs485Control::_applyBaud(int baudrate) {
    if (baudrate < 0) {
        baudrate = _openBaud;
    }
    if (baudrate < 0 || baudrate >= kBaudCount) {
        return false;
    }
    if (baudrate == _rs485settings.baudrate) {
        return true;
    }
    _rs485settings.baudrate = baudrate;
    _rs485settings.speed = kBaudTable[baudrate].speed;
    _rs485settings.char_time = kBitsPerChar * kBaudTable[baudrate].bit_time_us;
    _rs485settings.sleep_time = _rs485settings.char_time;
    VTRACE(_tag() << "RS-485: SleepTime: " << _rs485settings.sleep_time);
    // Half a character time of lateness is caught up; four silent polls then still span
    // three and a half character times.
    _pacer.SetCatchUp(_rs485settings.sleep_time / 2);
    // The next transaction sets the tty's format, and with it the new speed.
    _appliedFormat = -1;
    if (_fdTty >= 0) {
        (void)_direction->SetBaud(static_cast<unsigned char>(baudrate));
    }
    return true;
}

int Rs485Control::SetPortParams(int mc_num, unsigned char ctrl_bit, short time_out,
                                unsigned char delm_type, unsigned char len_after_delm,
                                unsigned char wait_time) {
    int result = 0;
    {
        std::lock_guard<std::mutex> guard(_tableLock);
        result = _table.SetPortParams(mc_num, _rs485settings.max_machine, ctrl_bit, time_out,
                                      delm_type, len_after_delm, wait_time);
    }
    if (result < 0) {
        return result;
    }
    const Rs485Machine mc = GetMachine(mc_num);
    VTRACE(_tag() << "__SetPortParams___________ mc_num=" << mc_num
                  << " ctrl_bit=" << static_cast<int>(mc.ctrl_bit) << " time_out=" << time_out
                  << " delm_type=" << static_cast<int>(delm_type)
                  << " len_after_delm=" << static_cast<int>(len_after_delm)
                  << " wait_time=" << static_cast<int>(wait_time));
    return result;
}

int Rs485Control::SetReplyFraming(int mc_num, int kind, int length) {
    int result = 0;
    {
        std::lock_guard<std::mutex> guard(_tableLock);
        result = _table.SetReplyFraming(mc_num, _rs485settings.max_machine, kind, length);
    }
    VTRACE(_tag() << "__SetReplyFraming___________ mc_num=" << mc_num << " kind=" << kind
                  << " length=" << length << " ret=" << result);
    return result;
}

int Rs485Control::SetComFlags(int use_machine_flags) {
    std::lock_guard<std::mutex> guard(_tableLock);
    _table.SetComFlags(use_machine_flags);
    ++_maskGeneration;
    for (int i = 0; i < kMachineCount; ++i) {
        const int bit = (use_machine_flags >> i) & 1;
        VTRACE(_tag() << "_____________  _rs485machines[" << i << "].com_flag=" << bit
                      << " use_machine_flags>>i=" << bit);
    }
    return 1;
}

int Rs485Control::SetSendData(int mc_num, const unsigned char* data, int len) {
    std::lock_guard<std::mutex> guard(_tableLock);
    if (_table.SetSendData(mc_num, data, len) == 0) {
        return 0;
    }
    const MachineTable::SendBuffer& buf = _table.Send(mc_num);
    VTRACE(_tag() << "-=-=-=-= str=" << Hex(buf.data, buf.len) << " ++=" << Hex(data, len));
    return 1;
}

Rs485Machine Rs485Control::GetMachine(int mc_num) {
    if (mc_num < 0 || mc_num >= kMachineCount) {
        Rs485Machine none;
        none.ctrl_bit = 0;
        none.time_out = 0;
        none.delm_type = 0;
        return none;
    }
    std::lock_guard<std::mutex> guard(_tableLock);
    return _table.Machine(mc_num);
}

MachineTable Rs485Control::Table() {
    std::lock_guard<std::mutex> guard(_tableLock);
    return _table;
}

void Rs485Control::_setComFlag(int mc_num, unsigned char value) {
    std::lock_guard<std::mutex> guard(_tableLock);
    if (_maskGeneration == _cycleGeneration) {
        _table.SetComFlag(mc_num, value);
    }
}

int Rs485Control::StartCom(int* lens, unsigned char* areas, unsigned char* statuses) {
    MachineTable table;
    {
        std::lock_guard<std::mutex> guard(_tableLock);
        _cycleGeneration = _maskGeneration;
        // The whole table as it stands now: an order that changes it meanwhile applies from
        // the next cycle on.
        table = _table;
    }
    return _cycle(table, true, lens, areas, statuses);
}

int Rs485Control::StartCom(const MachineTable& table, int* lens, unsigned char* areas,
                           unsigned char* statuses) {
    MachineTable own = table;
    return _cycle(own, false, lens, areas, statuses);
}

int Rs485Control::_cycle(MachineTable& table, bool channel_wide, int* lens, unsigned char* areas,
                         unsigned char* statuses) {
    const int flags = table.Mask();
    // A machine this cycle does not poll keeps its earlier reply in lens and areas: an
    // application that polls its machines in turn still reads them, and the status 0 or 1
    // published with them says that this cycle did not poll the machine.
    if (statuses != nullptr) {
        for (int m = 0; m < kMachineCount; ++m) {
            statuses[m] = table.Machine(m).com_flag;
        }
    }
    if (_rs485settings.sniffer != 0) {
        VTRACE(_tag() << "------------------- _STCOM: sniffer mode !!!!");
        return 1;
    }
    VTRACE(_tag() << "------------------- _STCOM: logger mode !!!! use_machine_flags=" << flags);
    if (!_applyBaud(table.Baudrate())) {
        VERROR(_tag() << "STCOM: baud index " << table.Baudrate() << " not supported");
        return 0;
    }

    _pacer.Restart();
    int failed = 0;
    for (int mc_num = 0; mc_num < _rs485settings.max_machine; ++mc_num) {
        if (((flags >> mc_num) & 1) == 0) {
            continue;
        }
        VTRACE(_tag() << "------------------- _STCOM: mc_num=" << mc_num);
        const Rs485Machine& mc = table.Machine(mc_num);
        _prepareLine(mc.ctrl_bit);

        bool queue_ok = false;
        for (int tries = 0; tries < kOutQueueTries; ++tries) {
            int queued = 0;
            if (_outputQueue(&queued) == 0) {
                queue_ok = true;
                break;
            }
            _pacer.Wait(_rs485settings.sleep_time);
        }
        unsigned char status = vel::shm::kStatusReadError;
        int ret = -1;
        if (!queue_ok) {
            VTRACE(_tag() << "------------------- _STCOM: mc_num=" << mc_num << " timeout : ioctl("
                          << _fdTty << ", TIOCOUTQ) =");
            // The tty no longer answers (it vanished): keeping the last reply and its status
            // would publish stale data as fresh, so the machine reports a read error.
            lens[mc_num] = 0;
        } else {
            ret = _stComWriteData(mc_num, mc, table.Send(mc_num), &lens[mc_num],
                                  areas + static_cast<std::size_t>(kReceiveAreaSize) *
                                              static_cast<std::size_t>(mc_num),
                                  &status);
        }
        table.SetComFlag(mc_num, status);
        if (channel_wide) {
            _setComFlag(mc_num, status);
        }
        if (statuses != nullptr) {
            statuses[mc_num] = status;
        }
        if (ret != 0) {
            ++failed;
        }
        VTRACE(_tag() << "------------------- _STCOM: mc_num=" << mc_num << " ret=" << ret
                      << " : total ret=" << failed);
    }
    return failed == 0 ? 1 : 0;
}

int Rs485Control::_endEarly(int* len_out, unsigned char* status) {
    _direction->modeRead();
    *len_out = 0;
    *status = vel::shm::kStatusReadError;
    return -1;
}

int Rs485Control::_stComWriteData(int mc_num, const Rs485Machine& mc,
                                  const MachineTable::SendBuffer& buf, int* len_out,
                                  unsigned char* area, unsigned char* status) {
    _direction->modeWrite();
    if (mc.wait_time != 0) {
        _pacer.Wait(static_cast<int64_t>(mc.wait_time) * 4000);
    }
    const int len = buf.len;
    VTRACE(_tag() << "&&&&&&&& len=" << len << " str=" << Hex(buf.data, len));
    VTRACE(_tag() << "STCOM: _stComWriteData : xfr_len=" << len);

    if (len > 0 && ::write(_fdTty, buf.data, static_cast<std::size_t>(len)) < 0) {
        VERROR(_tag() << "STCOM: _stComWriteData : Send Error fd(tty)=" << _fdTty);
        // Nothing went out, so no reply can come.
        return _endEarly(len_out, status);
    }
    const DirectionControl::SendOutcome sent =
        _direction->AwaitSent(*this, buf.data, len, mc.time_out);
    if (sent.sent == DirectionControl::Sent::kStuck) {
        // The bound gave up on the queue: its bytes are discarded, so that neither the next
        // machine nor the close waits for them.
        ::tcflush(_fdTty, TCOFLUSH);
        _queueAbandoned = true;
    }
    if (sent.sent != DirectionControl::Sent::kOk) {
        return _endEarly(len_out, status);
    }
    _queueAbandoned = false;
    VTRACE(_tag() << "STCOM: _stComWriteData : Wait receive data");
    return _rs485_rcvData(mc_num, mc, len_out, area, status, sent.grace_us) != 0 ? 0 : 1;
}

unsigned char Rs485Control::_rs485_rcvData(int mc_num, const Rs485Machine& mc, int* len_out,
                                           unsigned char* area, unsigned char* status,
                                           int64_t grace_us) {
    const std::string tag = _tag(mc_num);
    const int sleep_time = _rs485settings.sleep_time;
    // The limit is taken as unsigned: a negative time_out waits practically for ever, and 0
    // expires at the first silent poll. The request's remaining time on the line comes on
    // top, so that the time-out counts from its end.
    uint32_t limit =
        static_cast<uint32_t>(static_cast<int32_t>(mc.time_out) * static_cast<int32_t>(1000));
    if (mc.time_out >= 0) {
        limit = static_cast<uint32_t>(
            std::min<int64_t>(static_cast<int64_t>(limit) + grace_us, UINT32_MAX));
    }
    const int64_t reply_bound = static_cast<int64_t>(std::max<short>(mc.time_out, 0)) * 1000 +
                                static_cast<int64_t>(kReplyBoundFactor) *
                                    (kReceiveAreaSize + 1 + mc.len_after_delm) * sleep_time;
    const bool silence_mode = mc.delm_type == 1;

    int read_size = 0;
    int rcv_dlen = 0;
    int term_count = 0;
    uint32_t time_out_count = 0;
    int silence = 0;
    unsigned char error_flag = 0;
    // Time waited since the first reply byte, in the same units as time_out_count; -1
    // before it.
    int64_t replying = -1;
    char buf[512] = {};

    // Every wait of the reception goes through here, so that the reply bound sees them all.
    auto wait = [&](int64_t us) {
        _pacer.Wait(us);
        if (replying >= 0) {
            replying += us;
        }
    };

    _direction->modeRead();
    VTRACE(tag << "RECV: _rs485_rcvData : _fdTty=" << _fdTty);

    if (mc.reply_framing != ReplyFraming::kDelimited) {
        error_flag = _rcvFramed(tag, mc, area, &rcv_dlen, limit, reply_bound);
    } else {
        for (;;) {
            // One read per poll: the tty is non-blocking, so it returns what is waiting, at most
            // a chunk, without asking for the count first.
            read_size = static_cast<int>(::read(_fdTty, buf, kReadChunk));
            if (read_size < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                read_size = 0;
            }
            if (read_size < 0) {
                VERROR(tag << "RECV: *** : Read error [" << read_size << "][" << buf << "]");
                error_flag = vel::shm::kStatusReadError;
                break;
            }
            if (replying > reply_bound) {
                VERROR(tag << "RECV: *** : reply not complete after " << replying << " us");
                error_flag = vel::shm::kStatusReadError;
                break;
            }
            if (read_size > 0) {
                buf[read_size] = '\0';
                if (replying < 0) {
                    replying = 0;
                }
                VTRACE(tag << "RECV: ****** read size=" << read_size);
                wait(static_cast<int64_t>(read_size) * sleep_time);
                if (term_count != 0) {
                    if (read_size + term_count > mc.len_after_delm) {
                        VERROR(tag << "RECV: *** : Terminate");
                        break;
                    }
                    term_count += read_size;
                    VTRACE(tag << "RECV: *** : After count:" << term_count);
                    wait(static_cast<int64_t>(read_size) * sleep_time);
                    continue;
                }
                int n = read_size;
                bool found = false;
                if (!silence_mode) {
                    const void* hit =
                        std::memchr(buf, mc.delm_type, static_cast<std::size_t>(read_size));
                    if (hit != nullptr) {
                        n = static_cast<int>(static_cast<const char*>(hit) - buf);
                        found = true;
                        VTRACE(tag << "RECV: *** : Find delm!!! n:" << n);
                    }
                }
                silence = std::max(read_size - n - 1, 0);
                time_out_count = static_cast<uint32_t>(silence) * static_cast<uint32_t>(sleep_time);
                if (n > kReceiveAreaSize - rcv_dlen) {
                    VERROR(tag << "RECV: *** : reply longer than the receive area");
                    error_flag = vel::shm::kStatusReadError;
                    break;
                }
                std::memcpy(area + rcv_dlen, buf, static_cast<std::size_t>(n));
                rcv_dlen += n;
                if (!found) {
                    continue;
                }
                if (mc.len_after_delm == 0) {
                    break;
                }
                term_count = read_size - n;
                VTRACE(tag << "RECV: *** : Find delm!!! read_size:" << read_size << " n:" << n
                           << " term_count:" << term_count);
                if (term_count <= mc.len_after_delm) {
                    continue;
                }
                break;
            }
            if (silence_mode && rcv_dlen > 0) {
                wait(sleep_time);
                VTRACE(tag << "RECV: *** : Find delm!!! 3.5wait:" << silence
                           << " rcv_dlen:" << rcv_dlen << " SleepTime:" << sleep_time);
                ++silence;
                time_out_count += static_cast<uint32_t>(sleep_time);
                if (silence > kSilentPollsToEnd) {
                    break;
                }
                continue;
            }
            wait(sleep_time);
            time_out_count += static_cast<uint32_t>(sleep_time);
            if (time_out_count > limit) {
                VTRACE(tag << "RECV: +++ Time out error: time_out_count=" << time_out_count << " < "
                           << limit);
                VTRACE(tag << "RECV:  Time out error: _rs485settings.sleep_time=" << sleep_time
                           << " correct_val=" << 0);
                VTRACE(tag << "RECV:  Time out error: _rs485machines[mc_num].time_out="
                           << mc.time_out);
                error_flag = vel::shm::kStatusTimeout;
                break;
            }
        }
    }

    unsigned char result = 1;
    *status = vel::shm::kStatusComplete;
    if (error_flag != 0) {
        result = 0;
        *status = error_flag;
        VTRACE(tag << "________________ EEEEEEE mc_num=" << mc_num
                   << " flag=" << static_cast<int>(error_flag) << " read_size=" << read_size
                   << " com_flag=" << static_cast<int>(*status));
    } else {
        VTRACE(tag << "________________ EEEEEEA mc_num=" << mc_num
                   << " com_flag=" << static_cast<int>(*status));
    }
    // A time-out keeps the bytes that came before it; after a read error, a reply that did
    // not end or a wrong CRC, the bytes are no reply of this machine.
    if (error_flag == vel::shm::kStatusReadError) {
        rcv_dlen = 0;
    }
    *len_out = rcv_dlen;
    VTRACE(tag << "RECV: *** : Find delm!!! receive len:" << rcv_dlen);
    return result;
}

unsigned char Rs485Control::_rcvFramed(const std::string& tag, const Rs485Machine& mc,
                                       unsigned char* area, int* rcv_dlen, uint32_t limit,
                                       int64_t reply_bound) {
    const int sleep_time = _rs485settings.sleep_time;
    const bool rtu = mc.reply_framing == ReplyFraming::kModbusRtu;
    // The whole length once it is known; ModbusRtuFrame::kNeedMore before the bytes of a
    // Modbus RTU reply tell it, kUnknown when they cannot: that reply ends by silence.
    int expected = rtu ? ModbusRtuFrame::kNeedMore : mc.reply_length;
    int got = 0;
    uint32_t idle = 0;
    int silence = 0;
    int64_t replying = -1;

    for (;;) {
        // Reads go straight into the area and never beyond the reply's end: before a Modbus
        // RTU reply tells its length, no more than the shortest reply; a reply that cannot
        // tell it, at most one byte more than the longest frame, which is then refused.
        int want = ModbusRtuFrame::kMaxLength + 1 - got;
        if (expected > 0) {
            want = expected - got;
        } else if (expected == ModbusRtuFrame::kNeedMore) {
            want = ModbusRtuFrame::kMinLength + 1 - got;
        }
        int n = static_cast<int>(::read(_fdTty, area + got, static_cast<std::size_t>(want)));
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            n = 0;
        }
        if (n < 0) {
            VERROR(tag << "RECV: *** : Read error [" << n << "]");
            return vel::shm::kStatusReadError;
        }
        if (replying > reply_bound) {
            VERROR(tag << "RECV: *** : reply not complete after " << replying << " us");
            return vel::shm::kStatusReadError;
        }
        if (n > 0) {
            VTRACE(tag << "RECV: ****** read size=" << n);
            got += n;
            *rcv_dlen = got;
            replying = std::max<int64_t>(replying, 0);
            idle = 0;
            silence = 0;
            if (rtu && expected == ModbusRtuFrame::kNeedMore) {
                expected = ModbusRtuFrame::ExpectedLength(area, got);
                if (expected > ModbusRtuFrame::kMaxLength) {
                    VERROR(tag << "RECV: *** : Modbus RTU reply of " << expected
                               << " bytes announced: " << Hex(area, got));
                    return vel::shm::kStatusReadError;
                }
            }
            if (got > ModbusRtuFrame::kMaxLength && expected == ModbusRtuFrame::kUnknown) {
                VERROR(tag << "RECV: *** : reply longer than a Modbus RTU frame");
                return vel::shm::kStatusReadError;
            }
            if (expected > 0 && got >= expected) {
                break;
            }
            if (n == want) {
                continue;  // more may be waiting already
            }
            // Caught up with the line: the bytes still to come need their wire time. The
            // last one is waited for by watching the tty, so the reply ends when it is there.
            int still = 0;
            if (expected > 0) {
                still = expected - got;
            } else if (expected == ModbusRtuFrame::kNeedMore) {
                still = ModbusRtuFrame::kMinLength + 1 - got;
            }
            if (still > 1) {
                const int64_t pause = static_cast<int64_t>(still - 1) * sleep_time;
                _pacer.Wait(pause);
                replying += pause;
            }
            continue;
        }
        (void)_pacer.WaitOrInput(_fdTty, sleep_time);
        if (replying >= 0) {
            replying += sleep_time;
        }
        if (expected == ModbusRtuFrame::kUnknown) {
            if (++silence > kSilentPollsToEnd) {
                break;
            }
            continue;
        }
        idle += static_cast<uint32_t>(sleep_time);
        if (idle > limit) {
            VTRACE(tag << "RECV: +++ Time out error: time_out_count=" << idle << " < " << limit
                       << " received " << got << " of " << expected);
            return vel::shm::kStatusTimeout;
        }
    }
    if (rtu && !ModbusRtuFrame::CrcOk(area, got)) {
        VERROR(tag << "RECV: *** : Modbus RTU CRC error: " << Hex(area, got));
        return vel::shm::kStatusReadError;
    }
    VTRACE(tag << "RECV: *** : framed reply of " << got << " bytes");
    return 0;
}

}  // namespace veldw485::line
