#include "TextUtil.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>

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
    std::size_t i = 0;
    while (i < field.size() && std::isspace(static_cast<unsigned char>(field[i])) != 0) {
        ++i;
    }
    bool negative = false;
    if (i < field.size() && (field[i] == '+' || field[i] == '-')) {
        negative = field[i] == '-';
        ++i;
    }
    if (i >= field.size() || std::isdigit(static_cast<unsigned char>(field[i])) == 0) {
        return kIntFailure;
    }
    // Accumulate in 64 bits and stop as soon as the value leaves the 32-bit range.
    int64_t value = 0;
    const int64_t limit = negative ? 2147483648LL : 2147483647LL;
    for (; i < field.size() && std::isdigit(static_cast<unsigned char>(field[i])) != 0; ++i) {
        value = value * 10 + (field[i] - '0');
        if (value > limit) {
            return kIntFailure;
        }
    }
    return static_cast<int32_t>(negative ? -value : value);
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
    uint32_t bits = static_cast<uint32_t>(mask);
    if (bits == 0) {
        return "0";
    }
    std::string digits;
    while (bits != 0) {
        digits.insert(digits.begin(), (bits & 1U) != 0 ? '1' : '0');
        bits >>= 1U;
    }
    return digits;
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
    if (path.empty()) {
        return -1;
    }
    std::string::size_type pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        const std::string part = path.substr(0, pos);
        if (part.empty()) {
            continue;
        }
        if (::mkdir(part.c_str(), static_cast<mode_t>(mode)) == 0) {
            // The umask must not narrow the mode that the other processes rely on.
            (void)::chmod(part.c_str(), static_cast<mode_t>(mode));
        } else if (errno != EEXIST) {
            return -1;
        }
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return -1;
    }
    return 0;
}

}  // namespace vel::text
