#include "FrameFormat.h"

#include <cctype>

#include "NumberText.h"

namespace rs485tools {

namespace {

constexpr uint8_t kStop15 = 4;
constexpr uint8_t kStop2 = 8;
constexpr uint8_t kParity = 16;
constexpr uint8_t kOdd = 32;

}  // namespace

bool FrameFormat::Parse(const std::string& text, uint8_t* ctrl_bit, std::string* error) {
    unsigned long raw = 0;
    if (NumberText::ParseUnsigned(text, 255, &raw)) {
        *ctrl_bit = static_cast<uint8_t>(raw);
        return true;
    }
    const std::string bad =
        "invalid format \"" + text + "\" (expected e.g. 8N1, 7E2, 8O1.5 or 0..255)";
    if (text.size() < 3 || text[0] < '5' || text[0] > '8') {
        *error = bad;
        return false;
    }
    uint8_t bits = static_cast<uint8_t>(text[0] - '5');
    switch (std::toupper(static_cast<unsigned char>(text[1]))) {
        case 'N':
            break;
        case 'E':
            bits |= kParity;
            break;
        case 'O':
            bits |= kParity | kOdd;
            break;
        default:
            *error = bad;
            return false;
    }
    const std::string stop = text.substr(2);
    if (stop == "2") {
        bits |= kStop2;
    } else if (stop == "1.5") {
        bits |= kStop15;
    } else if (stop != "1") {
        *error = bad;
        return false;
    }
    *ctrl_bit = bits;
    return true;
}

std::string FrameFormat::Describe(uint8_t ctrl_bit) {
    std::string text(1, static_cast<char>('5' + (ctrl_bit & 3)));
    if ((ctrl_bit & kParity) == 0) {
        text += 'N';
    } else {
        text += (ctrl_bit & kOdd) != 0 ? 'O' : 'E';
    }
    if ((ctrl_bit & kStop15) != 0) {
        text += "1.5";
    } else {
        text += (ctrl_bit & kStop2) != 0 ? "2" : "1";
    }
    return text;
}

}  // namespace rs485tools
