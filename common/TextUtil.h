// Text helpers shared by the daemon and the library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vel::text {

inline constexpr int32_t kIntFailure = INT32_MIN;
inline constexpr int16_t kShortFailure = -128;
inline constexpr uint8_t kByteFailure = 0;

// Cuts text at every separator; empty pieces are dropped.
std::vector<std::string> Split(const std::string& text, char separator);

// Decimal field to signed 32-bit: leading blanks, optional sign, digits; the rest is ignored.
// No number, or a value outside the 32-bit range, gives kIntFailure.
int32_t ToInt32(const std::string& field);
// Low 16 bits of ToInt32 as a signed value; kShortFailure when ToInt32 fails.
int16_t ToInt16(const std::string& field);
// Low 8 bits of ToInt32 as an unsigned value; kByteFailure when ToInt32 fails.
uint8_t ToUint8(const std::string& field);

// Base-2 digits of a mask taken as unsigned 32-bit, no leading zeros; "0" for 0.
std::string MaskToBinary(int32_t mask);

// Two upper-case hexadecimal digits per byte, no separators.
std::string BytesToHex(const uint8_t* data, std::size_t len);

// Creates a directory and its missing parents with the given mode.
// Returns 0 on success (existing directories are accepted), -1 on failure.
int MakeDirs(const std::string& path, unsigned int mode);

}  // namespace vel::text
