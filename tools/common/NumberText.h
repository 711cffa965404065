// Number fields given as text: plain values, delimiters and machine lists.
#pragma once

#include <cstdint>
#include <string>

namespace rs485tools {

class NumberText {
  public:
    // Decimal or 0x-prefixed hexadecimal, 0..max, nothing else in the text.
    static bool ParseUnsigned(const std::string& text, unsigned long max, unsigned long* value);
    // Reply delimiter: "none" (the value 1, silence ends the reply), "cr", "lf", "etx", "eot"
    // or a byte value 0..255.
    static bool ParseDelimiter(const std::string& text, uint8_t* value);
    // Reply framing: "delimited", "modbus-rtu", or a reply length 1..436; *kind receives
    // RS485_REPLY_..., *length the length (0 unless fixed).
    static bool ParseFraming(const std::string& text, int* kind, int* length);
    // Machine list such as "1,3-5" or "all" (1..15) into a mask with bit m-1 for machine m.
    static bool ParseMachineList(const std::string& text, int* mask, std::string* error);
};

}  // namespace rs485tools
