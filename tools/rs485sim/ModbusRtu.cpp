#include "ModbusRtu.h"

namespace rs485sim {

uint16_t ModbusRtu::Crc(const std::string& bytes) {
    uint16_t crc = 0xFFFF;
    for (const char c : bytes) {
        crc = static_cast<uint16_t>(crc ^ static_cast<unsigned char>(c));
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1u) != 0 ? static_cast<uint16_t>((crc >> 1) ^ 0xA001u)
                                  : static_cast<uint16_t>(crc >> 1);
        }
    }
    return crc;
}

bool ModbusRtu::CrcOk(const std::string& frame) {
    if (frame.size() < 4) {
        return false;
    }
    const uint16_t crc = Crc(frame.substr(0, frame.size() - 2));
    return static_cast<unsigned char>(frame[frame.size() - 2]) == (crc & 0xFF) &&
           static_cast<unsigned char>(frame[frame.size() - 1]) == (crc >> 8);
}

std::string ModbusRtu::Reply(const std::string& request, int length) {
    const auto count = static_cast<std::size_t>(length - 5);
    std::string out;
    out += !request.empty() ? request[0] : '\0';
    out += request.size() > 1 ? request[1] : '\0';
    out += static_cast<char>(count);
    for (std::size_t i = 0; i < count; ++i) {
        out += static_cast<char>(0x30 + i % 10);
    }
    const uint16_t crc = Crc(out);
    out += static_cast<char>(crc & 0xFF);
    out += static_cast<char>(crc >> 8);
    return out;
}

std::string ModbusRtu::Exception(const std::string& request, int code) {
    std::string out;
    out += !request.empty() ? request[0] : '\0';
    out += static_cast<char>((request.size() > 1 ? static_cast<unsigned char>(request[1]) : 0U) |
                             0x80U);
    out += static_cast<char>(code);
    const uint16_t crc = Crc(out);
    out += static_cast<char>(crc & 0xFF);
    out += static_cast<char>(crc >> 8);
    return out;
}

}  // namespace rs485sim
