// Character format of a machine (the ctrl_bit parameter) as text such as "8E1" and back.
#pragma once

#include <cstdint>
#include <string>

namespace rs485tools {

class FrameFormat {
  public:
    // Accepts DATA PARITY STOP (data 5..8, parity N/E/O, stop 1, 1.5 or 2, case-insensitive,
    // e.g. "8N1", "7e2", "8O1.5") or a number 0..255 (decimal or 0x hex) taken as the raw
    // ctrl_bit. Returns false with a message in *error otherwise.
    static bool Parse(const std::string& text, uint8_t* ctrl_bit, std::string* error);
    // "8E1" style text of a ctrl_bit; bits without meaning are ignored.
    static std::string Describe(uint8_t ctrl_bit);
};

}  // namespace rs485tools
