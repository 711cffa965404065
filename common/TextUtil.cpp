#include "TextUtil.h"

#include <cctype>
#include <charconv>
#include <filesystem>
#include <iterator>

namespace vel::text {

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    std::string::size_type start = 0;
    while (start <= text.size()) {
        std::string::size_type end = text.find(separator, start);
        if (end == std::string::npos) {
            end = text.size();
        }
        if (end > start) {
            pieces.emplace_back(text, start, end - start);
        }
        start = end + 1;
    }
    return pieces;
}

int32_t ToInt32(const std::string& field) {
    const char* first = field.data();
    const char* const last = first + field.size();
    while (first != last && std::isspace(static_cast<unsigned char>(*first)) != 0) {
        ++first;
    }
    // from_chars takes a minus sign but no plus sign.
    if (first != last && *first == '+') {
        ++first;
        if (first == last || *first == '-') {
            return kIntFailure;
        }
    }
    int32_t value = 0;
    const std::from_chars_result r = std::from_chars(first, last, value);
    return r.ec == std::errc() ? value : kIntFailure;
}

int16_t ToInt16(const std::string& field) {
    const int32_t value = ToInt32(field);
    if (value == kIntFailure) {
        return kShortFailure;
    }
    return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(value) & 0xffffU));
}

uint8_t ToUint8(const std::string& field) {
    const int32_t value = ToInt32(field);
    if (value == kIntFailure) {
        return kByteFailure;
    }
    return static_cast<uint8_t>(static_cast<uint32_t>(value) & 0xffU);
}

std::string MaskToBinary(int32_t mask) {
    char digits[32];
    const std::to_chars_result r =
        std::to_chars(std::begin(digits), std::end(digits), static_cast<uint32_t>(mask), 2);
    return std::string(std::begin(digits), r.ptr);
}

std::string BytesToHex(const uint8_t* data, std::size_t len) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(len * 2);
    for (std::size_t i = 0; i < len; ++i) {
        out += kDigits[(data[i] >> 4U) & 0x0fU];
        out += kDigits[data[i] & 0x0fU];
    }
    return out;
}

int MakeDirs(const std::string& path, unsigned int mode) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path part;
    for (const fs::path& piece : fs::path(path)) {
        part /= piece;
        if (fs::create_directory(part, ec)) {
            // The umask must not narrow the mode that the other processes rely on.
            fs::permissions(part, static_cast<fs::perms>(mode), ec);
        } else if (ec) {
            return -1;
        }
    }
    return fs::is_directory(path, ec) ? 0 : -1;
}

}  // namespace vel::text
