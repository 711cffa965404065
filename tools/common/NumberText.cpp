#include "NumberText.h"

#include <charconv>

#include <rs485.h>

namespace rs485tools {

bool NumberText::ParseUnsigned(const std::string& text, unsigned long max, unsigned long* value) {
    std::size_t pos = 0;
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        pos = 2;
        base = 16;
    }
    if (pos == text.size() || text.size() - pos > 10) {
        return false;
    }
    const char* const end = text.data() + text.size();
    unsigned long long v = 0;
    const std::from_chars_result r = std::from_chars(text.data() + pos, end, v, base);
    if (r.ec != std::errc() || r.ptr != end || v > max) {
        return false;
    }
    *value = static_cast<unsigned long>(v);
    return true;
}

bool NumberText::ParseDelimiter(const std::string& text, uint8_t* value) {
    static const struct {
        const char* name;
        uint8_t value;
    } kNames[] = {{"none", 1}, {"cr", 0x0d}, {"lf", 0x0a}, {"etx", 0x03}, {"eot", 0x04}};
    for (const auto& n : kNames) {
        if (text == n.name) {
            *value = n.value;
            return true;
        }
    }
    unsigned long v = 0;
    if (!ParseUnsigned(text, 255, &v)) {
        return false;
    }
    *value = static_cast<uint8_t>(v);
    return true;
}

bool NumberText::ParseFraming(const std::string& text, int* kind, int* length) {
    if (text == "delimited" || text == "modbus-rtu") {
        *kind = text == "delimited" ? RS485_REPLY_DELIMITED : RS485_REPLY_MODBUS_RTU;
        *length = 0;
        return true;
    }
    unsigned long v = 0;
    if (!ParseUnsigned(text, RS485_MAX_REPLY, &v) || v < 1) {
        return false;
    }
    *kind = RS485_REPLY_LENGTH;
    *length = static_cast<int>(v);
    return true;
}

bool NumberText::ParseMachineList(const std::string& text, int* mask, std::string* error) {
    if (text == "all") {
        *mask = (1 << RS485_MACHINE_COUNT) - 1;
        return true;
    }
    int result = 0;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(',', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string item = text.substr(start, end - start);
        const std::size_t dash = item.find('-');
        unsigned long first = 0;
        unsigned long last = 0;
        const bool ok = dash == std::string::npos
                            ? ParseUnsigned(item, RS485_MACHINE_COUNT, &first)
                            : ParseUnsigned(item.substr(0, dash), RS485_MACHINE_COUNT, &first) &&
                                  ParseUnsigned(item.substr(dash + 1), RS485_MACHINE_COUNT, &last);
        if (dash == std::string::npos) {
            last = first;
        }
        if (!ok || first < 1 || last < first) {
            *error = "invalid machine list \"" + text + "\" (machines 1..15, e.g. 1,3-5 or all)";
            return false;
        }
        for (unsigned long m = first; m <= last; ++m) {
            result |= 1 << (m - 1);
        }
        start = end + 1;
    }
    *mask = result;
    return true;
}

}  // namespace rs485tools
