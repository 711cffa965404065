// Modbus RTU frames as a slave machine of the simulator answers them.
#pragma once

#include <cstdint>
#include <string>

namespace rs485sim {

class ModbusRtu {
  public:
    // CRC-16 of the frame (polynomial 0xA001, start 0xFFFF); sent low byte first.
    static uint16_t Crc(const std::string& bytes);
    // Whether the frame is at least 4 bytes long and ends with its correct CRC.
    static bool CrcOk(const std::string& frame);
    // A reply of length bytes (5..256) to request: slave address, function, byte count
    // (length - 5), filler bytes, CRC. The shape of a read reply; any function gets it.
    static std::string Reply(const std::string& request, int length);
    // The exception reply to request: slave address, function with bit 0x80, code, CRC.
    static std::string Exception(const std::string& request, int code);
};

}  // namespace rs485sim
