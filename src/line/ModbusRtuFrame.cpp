#include "ModbusRtuFrame.h"

namespace veldw485::line {

namespace {

constexpr unsigned char kExceptionBit = 0x80;
// Address, function and CRC around the data of a reply.
constexpr int kFrameOverhead = 4;

}  // namespace

int ModbusRtuFrame::ExpectedLength(const unsigned char* frame, int have) {
    if (have < 2) {
        return kNeedMore;
    }
    const unsigned char function = frame[1];
    if ((function & kExceptionBit) != 0) {
        return kFrameOverhead + 1;  // the exception code
    }
    switch (function) {
        case 0x01:  // read coils
        case 0x02:  // read discrete inputs
        case 0x03:  // read holding registers
        case 0x04:  // read input registers
        case 0x0C:  // get comm event log
        case 0x11:  // report server id
        case 0x14:  // read file record
        case 0x15:  // write file record
        case 0x17:  // read/write multiple registers
            // A byte count, then that many bytes.
            return have < 3 ? kNeedMore : kFrameOverhead + 1 + frame[2];
        case 0x18:  // read FIFO queue: a byte count of two bytes, high byte first
            return have < 4 ? kNeedMore : kFrameOverhead + 2 + ((frame[2] << 8) | frame[3]);
        case 0x07:  // read exception status: one byte
            return kFrameOverhead + 1;
        case 0x05:  // write single coil
        case 0x06:  // write single register
        case 0x08:  // diagnostics: sub-function and data
        case 0x0B:  // get comm event counter
        case 0x0F:  // write multiple coils
        case 0x10:  // write multiple registers
            return kFrameOverhead + 4;
        case 0x16:  // mask write register
            return kFrameOverhead + 6;
        default:
            return kUnknown;
    }
}

uint16_t ModbusRtuFrame::Crc(const unsigned char* bytes, int len) {
    uint16_t crc = 0xFFFF;
    for (int i = 0; i < len; ++i) {
        crc = static_cast<uint16_t>(crc ^ bytes[i]);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1U) != 0 ? static_cast<uint16_t>((crc >> 1) ^ 0xA001U)
                                  : static_cast<uint16_t>(crc >> 1);
        }
    }
    return crc;
}

bool ModbusRtuFrame::CrcOk(const unsigned char* frame, int len) {
    if (len < kMinLength) {
        return false;
    }
    const uint16_t crc = Crc(frame, len - 2);
    return frame[len - 2] == (crc & 0xFF) && frame[len - 1] == (crc >> 8);
}

}  // namespace veldw485::line
