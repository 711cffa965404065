#include "RtsSpiDirection.h"

#include <sys/ioctl.h>

#include <cstdio>
#include <cstring>

#include "Trace.h"

namespace veldw485::line {

namespace {

// Register words of the transceiver block per channel: baud rate, receive enable, transmit
// enable.
constexpr const char* kRegisters[3][3] = {
    {"40", "41", "46"},
    {"60", "61", "66"},
    {"80", "81", "86"},
};
constexpr int kBaudRegister = 0;
constexpr int kRecvRegister = 1;
constexpr int kTxenRegister = 2;

}  // namespace

void RtsSpiDirection::BeforeOpen() {
    const int ret = txenOffSetting(_channel);
    VTRACE(Tag() << "RS-485: Open RTS - TXEN OFF: ret=" << ret);
}

int RtsSpiDirection::Open(int fd_tty, unsigned char baudrate) {
    _fdTty = fd_tty;
    const int baud = setBaudRate(_channel, baudrate);
    VTRACE(Tag() << "RS-485: Open RTS - Set BaudRate: ret=" << baud);
    VTRACE(Tag() << "RS-485: DE Line not use."
                 << "  de_line=" << _settings.de_line);
    int bits = 0;
    const int get = ::ioctl(_fdTty, TIOCMGET, &bits);
    bits |= TIOCM_RTS;
    const int set = ::ioctl(_fdTty, TIOCMSET, &bits);
    VTRACE(Tag() << "RS-485:   RTS Off setting. result(1)=" << get << "  result(2)=" << set);
    const int txen = txenOnSetting(_channel);
    VTRACE(Tag() << "RS-485: Open RTS - TXEN ON: ret=" << txen);
    const int recv = recvEnable(_channel);
    VTRACE(Tag() << "RS-485: Open Set Receive Enable: ret=" << recv);
    return 0;
}

int RtsSpiDirection::Close() {
    // The transceiver registers keep their last setting.
    _fdTty = -1;
    return 0;
}

int RtsSpiDirection::SetBaud(unsigned char baudrate) {
    // The transceiver block has a baud register of its own.
    const int ret = setBaudRate(_channel, baudrate);
    VTRACE(Tag() << "RS-485: Set BaudRate: ret=" << ret);
    return ret == 0 ? 0 : -1;
}

std::string RtsSpiDirection::Describe() const {
    return "RTS, transceiver block of channel " + std::to_string(_channel);
}

int RtsSpiDirection::_setRts(bool on, const char* label) {
    int bits = 0;
    const int get = ::ioctl(_fdTty, TIOCMGET, &bits);
    if (on) {
        bits |= TIOCM_RTS;
    } else {
        bits &= ~TIOCM_RTS;
    }
    const int set = ::ioctl(_fdTty, TIOCMSET, &bits);
    VTRACE(Tag() << label << " -get ret=" << get << " set ret=" << set << " set param=" << bits);
    return set;
}

int RtsSpiDirection::modeWrite() {
    return _setRts(true, "####### modeWrite ioctl(write)");
}

int RtsSpiDirection::modeRead() {
    return _setRts(false, "####### modeRead ioctl(read)");
}

int RtsSpiDirection::_runRegisterCommand(const char* name, const std::string& value, int channel,
                                         int reg_column) {
    // Channels without a register block give a command that ends with the value and a blank.
    const char* reg = (channel >= 0 && channel < 3) ? kRegisters[channel][reg_column] : "";
    const std::string cmd = std::string(kSpiTool) + " -d " + kFpgaDevice + value + reg;
    VTRACE(Tag() << "+++ Rs485Control::" << name << " -> cmd=" << cmd);
    char output[kCommandOutputSize] = {};
    return _runSpiTool(cmd.c_str(), output);
}

int RtsSpiDirection::setBaudRate(int channel, unsigned char baudrate) {
    char value[16];
    std::snprintf(value, sizeof(value), " -w %02u ", static_cast<unsigned>(baudrate));
    return _runRegisterCommand("setBaudRate", value, channel, kBaudRegister);
}

int RtsSpiDirection::recvEnable(int channel) {
    return _runRegisterCommand("recvEnable", " -w 01 ", channel, kRecvRegister);
}

int RtsSpiDirection::recvDisable(int channel) {
    return _runRegisterCommand("recvDisable", " -w 00 ", channel, kRecvRegister);
}

int RtsSpiDirection::txenOnSetting(int channel) {
    return _runRegisterCommand("txenOnSetting", " -w 01 ", channel, kTxenRegister);
}

int RtsSpiDirection::txenOffSetting(int channel) {
    return _runRegisterCommand("txenOffSetting", " -w 00 ", channel, kTxenRegister);
}

int RtsSpiDirection::_runSpiTool(const char* command, char* output) {
    FILE* pipe = ::popen(command, "r");
    if (pipe == nullptr) {
        VERROR("can not exec command");
        return -1;
    }
    // The answer is not used; reading a little lets the tool finish its output.
    if (!std::feof(pipe)) {
        if (std::fgets(output, 4, pipe) == nullptr) {
            output[0] = '\0';
        }
    }
    return ::pclose(pipe);
}

}  // namespace veldw485::line
