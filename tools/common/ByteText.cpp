#include "ByteText.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <charconv>

namespace rs485tools {

namespace {

constexpr char kHexDigits[] = "0123456789abcdefABCDEF";

// The byte written as the two hex digits at text, which the caller has checked.
uint8_t HexByte(const char* text) {
    uint8_t value = 0;
    std::from_chars(text, text + 2, value, 16);
    return value;
}

bool IsSeparator(char c) {
    return c == ' ' || c == ':' || c == '-' || c == ',' || c == '\t';
}

}  // namespace

bool ByteText::ParseHex(const std::string& text, std::vector<uint8_t>* bytes, std::string* error) {
    std::vector<uint8_t> out;
    std::size_t i = 0;
    while (i < text.size()) {
        if (IsSeparator(text[i])) {
            ++i;
            continue;
        }
        if (text[i] == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
            i += 2;
        }
        std::size_t end = i;
        while (end < text.size() && !IsSeparator(text[end])) {
            ++end;
        }
        const std::string group = text.substr(i, end - i);
        const std::size_t bad = group.find_first_not_of(kHexDigits);
        if (bad != std::string::npos) {
            *error = "invalid hex \"" + text + "\": '" + group[bad] + "' is not a hex digit";
            return false;
        }
        if (group.size() % 2 != 0) {
            *error = "invalid hex \"" + text + "\": odd number of digits in a group";
            return false;
        }
        for (std::size_t k = 0; k < group.size(); k += 2) {
            out.push_back(HexByte(group.data() + k));
        }
        i = end;
    }
    *bytes = out;
    return true;
}

bool ByteText::ParseText(const std::string& text, std::vector<uint8_t>* bytes, std::string* error) {
    std::vector<uint8_t> out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out.push_back(static_cast<uint8_t>(text[i]));
            continue;
        }
        if (++i == text.size()) {
            *error = "invalid text \"" + text + "\": lone backslash at the end";
            return false;
        }
        switch (text[i]) {
            case 'r':
                out.push_back('\r');
                break;
            case 'n':
                out.push_back('\n');
                break;
            case 't':
                out.push_back('\t');
                break;
            case '0':
                out.push_back(0);
                break;
            case '\\':
                out.push_back('\\');
                break;
            case 'x':
                if (i + 2 >= text.size() || text.find_first_not_of(kHexDigits, i + 1) < i + 3) {
                    *error = "invalid text \"" + text + "\": \\x needs two hex digits";
                    return false;
                }
                out.push_back(HexByte(text.data() + i + 1));
                i += 2;
                break;
            default:
                *error = "invalid text \"" + text + "\": unknown escape \\" + text[i];
                return false;
        }
    }
    *bytes = out;
    return true;
}

std::string ByteText::ToHex(const uint8_t* data, std::size_t len) {
    return fmt::format("{:02X}", fmt::join(data, data + len, " "));
}

std::string ByteText::ToPrintable(const uint8_t* data, std::size_t len) {
    std::string text;
    for (std::size_t i = 0; i < len; ++i) {
        text += (data[i] >= 0x20 && data[i] < 0x7f) ? static_cast<char>(data[i]) : '.';
    }
    return text;
}

}  // namespace rs485tools
