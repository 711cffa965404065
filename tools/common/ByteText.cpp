#include "ByteText.h"

namespace rs485tools {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
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
        std::size_t digits = 0;
        while (i < text.size() && !IsSeparator(text[i])) {
            if (HexDigit(text[i]) < 0) {
                *error = "invalid hex \"" + text + "\": '" + text[i] + "' is not a hex digit";
                return false;
            }
            if (digits % 2 == 1) {
                out.back() = static_cast<uint8_t>(out.back() * 16 + HexDigit(text[i]));
            } else {
                out.push_back(static_cast<uint8_t>(HexDigit(text[i])));
            }
            ++digits;
            ++i;
        }
        if (digits % 2 != 0) {
            *error = "invalid hex \"" + text + "\": odd number of digits in a group";
            return false;
        }
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
                if (i + 2 >= text.size() || HexDigit(text[i + 1]) < 0 ||
                    HexDigit(text[i + 2]) < 0) {
                    *error = "invalid text \"" + text + "\": \\x needs two hex digits";
                    return false;
                }
                out.push_back(
                    static_cast<uint8_t>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2])));
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
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < len; ++i) {
        if (i > 0) {
            text += ' ';
        }
        text += kDigits[data[i] >> 4];
        text += kDigits[data[i] & 0x0f];
    }
    return text;
}

std::string ByteText::ToPrintable(const uint8_t* data, std::size_t len) {
    std::string text;
    for (std::size_t i = 0; i < len; ++i) {
        text += (data[i] >= 0x20 && data[i] < 0x7f) ? static_cast<char>(data[i]) : '.';
    }
    return text;
}

}  // namespace rs485tools
