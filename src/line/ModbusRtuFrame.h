// The end of a Modbus RTU reply, told from its function code, and its CRC check.
#pragma once

#include <cstdint>

namespace veldw485::line {

class ModbusRtuFrame {
  public:
    // Every reply has an address, a function code and a CRC.
    static constexpr int kMinLength = 4;
    // The longest frame of the protocol.
    static constexpr int kMaxLength = 256;
    // Result of ExpectedLength while the bytes received do not tell the length yet.
    static constexpr int kNeedMore = 0;
    // Result of ExpectedLength for a function whose reply length the frame does not give
    // (encapsulated interfaces, user functions): such a reply ends by silence.
    static constexpr int kUnknown = -1;

    // Whole length of the reply (CRC included) that begins with the have bytes at frame:
    // an exception reply (function with bit 0x80) 5; the read functions from their byte
    // count; the write and diagnostic functions their fixed length.
    static int ExpectedLength(const unsigned char* frame, int have);
    // CRC-16 (polynomial 0xA001, start 0xFFFF) of len bytes.
    static uint16_t Crc(const unsigned char* bytes, int len);
    // Whether len bytes (at least kMinLength) end with the CRC of those before it, low byte
    // first.
    static bool CrcOk(const unsigned char* frame, int len);
};

}  // namespace veldw485::line
