// Request bytes from hex or escaped text, and reply bytes as hex and printable text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace rs485tools {

class ByteText {
  public:
    // Hex bytes, two digits each; blanks, ':', '-' and ',' separate groups, a group may start
    // with 0x ("02 31 03", "0x0231:03", "023103").
    static bool ParseHex(const std::string& text, std::vector<uint8_t>* bytes, std::string* error);
    // Text taken byte for byte, with the escapes \r \n \t \\ \0 and \xHH.
    static bool ParseText(const std::string& text, std::vector<uint8_t>* bytes, std::string* error);
    // "02 31 03": upper-case hex digits, bytes separated by blanks.
    static std::string ToHex(const uint8_t* data, std::size_t len);
    // The bytes with every byte outside printable ASCII shown as '.'.
    static std::string ToPrintable(const uint8_t* data, std::size_t len);
};

}  // namespace rs485tools
