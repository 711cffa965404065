#include "DirectionConfig.h"

#include <cmath>

namespace veldw485::line {

namespace {

using vel::settings::LineOption;
using vel::settings::SettingStore;

constexpr char kNoDeLine[] = "none";

struct Named {
    const char* name;
    int value;
};

// Reads the string key into one of the named values; absent keeps *value.
bool Choice(const SettingStore& store, int line, const char* key, const Named* names, int count,
            int* value, std::string* reason) {
    LineOption option;
    if (!store.getConfLineOption(line, key, &option)) {
        return true;
    }
    std::string allowed;
    for (int i = 0; i < count; ++i) {
        if (option.type == LineOption::Type::kString && option.text == names[i].name) {
            *value = names[i].value;
            return true;
        }
        allowed += std::string(i == 0 ? "" : ", ") + names[i].name;
    }
    *reason = (option.type == LineOption::Type::kString ? "unknown value \"" + option.text + "\""
                                                        : std::string("not a string")) +
              " : must be " + allowed;
    return false;
}

bool Delay(const SettingStore& store, int line, const char* key, int* value, std::string* reason) {
    LineOption option;
    if (!store.getConfLineOption(line, key, &option)) {
        return true;
    }
    if (option.type != LineOption::Type::kNumber || std::floor(option.number) != option.number ||
        option.number < 0 || option.number > DirectionConfig::kMaxDelayMs) {
        *reason = "must be a whole number of milliseconds from 0 to " +
                  std::to_string(DirectionConfig::kMaxDelayMs);
        return false;
    }
    *value = static_cast<int>(option.number);
    return true;
}

bool Flag(const SettingStore& store, int line, const char* key, bool* value, std::string* reason) {
    LineOption option;
    if (!store.getConfLineOption(line, key, &option)) {
        return true;
    }
    if (option.type != LineOption::Type::kBool) {
        *reason = "must be true or false";
        return false;
    }
    *value = option.flag;
    return true;
}

// A required string key, or a line given as offset number or name.
bool Text(const SettingStore& store, int line, const char* key, bool number_allowed,
          std::string* value, std::string* reason) {
    LineOption option;
    if (!store.getConfLineOption(line, key, &option)) {
        *reason = "missing";
        return false;
    }
    if (option.type == LineOption::Type::kString && !option.text.empty()) {
        *value = option.text;
        return true;
    }
    if (number_allowed && option.type == LineOption::Type::kNumber && option.number >= 0 &&
        option.number < 65536 && std::floor(option.number) == option.number) {
        *value = std::to_string(static_cast<int>(option.number));
        return true;
    }
    *reason = number_allowed ? "must be a line offset (0 or more) or a line name"
                             : "must be a non-empty string";
    return false;
}

}  // namespace

const char* DirectionConfig::ModeName(DirectionMode mode) {
    switch (mode) {
        case DirectionMode::kRtsSpi:
            return "rts-spi";
        case DirectionMode::kGpioSysfs:
            return "gpio-sysfs";
        case DirectionMode::kKernel:
            return "kernel";
        case DirectionMode::kAuto:
            return "auto";
        case DirectionMode::kGpiod:
            return "gpiod";
    }
    return "";
}

DirectionSettings DirectionConfig::FromDeLine(const std::string& de_line) {
    DirectionSettings s;
    s.de_line = de_line;
    s.mode = de_line == kNoDeLine ? DirectionMode::kRtsSpi : DirectionMode::kGpioSysfs;
    return s;
}

bool DirectionConfig::Read(const SettingStore& store, int line, DirectionSettings* out,
                           std::string* key, std::string* reason) {
    DirectionSettings s = FromDeLine(store.getConfLineStr(line, store.key_de_line));
    LineOption given;
    if (!store.getConfLineOption(line, store.key_direction, &given)) {
        *out = s;
        return true;
    }
    s.from_de_line = false;
    static constexpr Named kModes[] = {
        {"rts-spi", static_cast<int>(DirectionMode::kRtsSpi)},
        {"gpio-sysfs", static_cast<int>(DirectionMode::kGpioSysfs)},
        {"kernel", static_cast<int>(DirectionMode::kKernel)},
        {"auto", static_cast<int>(DirectionMode::kAuto)},
        {"gpiod", static_cast<int>(DirectionMode::kGpiod)},
    };
    static constexpr Named kLevels[] = {{"high", 1}, {"low", 0}};
    static constexpr Named kEchoes[] = {
        {"none", static_cast<int>(EchoMode::kNone)},
        {"discard", static_cast<int>(EchoMode::kDiscard)},
        {"verify", static_cast<int>(EchoMode::kVerify)},
    };
    int mode = static_cast<int>(s.mode);
    *key = store.key_direction;
    if (!Choice(store, line, key->c_str(), kModes, 5, &mode, reason)) {
        return false;
    }
    s.mode = static_cast<DirectionMode>(mode);
    // The keys of the other modes are not read: a line can change its mode alone.
    bool ok = true;
    if (s.mode == DirectionMode::kKernel) {
        int high = 1;
        ok = Choice(store, line, (*key = "rts_on_send").c_str(), kLevels, 2, &high, reason) &&
             Delay(store, line, (*key = "delay_before_send_ms").c_str(), &s.delay_before_send_ms,
                   reason) &&
             Delay(store, line, (*key = "delay_after_send_ms").c_str(), &s.delay_after_send_ms,
                   reason) &&
             Flag(store, line, (*key = "rx_during_tx").c_str(), &s.rx_during_tx, reason);
        s.rts_high_on_send = high == 1;
    }
    if (ok && (s.mode == DirectionMode::kKernel || s.mode == DirectionMode::kAuto)) {
        int echo = static_cast<int>(EchoMode::kNone);
        ok = Choice(store, line, (*key = "echo").c_str(), kEchoes, 3, &echo, reason);
        s.echo = static_cast<EchoMode>(echo);
    }
    if (ok && s.mode == DirectionMode::kGpiod) {
        int high = 1;
        ok = Text(store, line, (*key = "gpio_chip").c_str(), false, &s.gpio_chip, reason) &&
             Text(store, line, (*key = "gpio_line").c_str(), true, &s.gpio_line, reason) &&
             Choice(store, line, (*key = "gpio_active").c_str(), kLevels, 2, &high, reason);
        s.gpio_active_low = high == 0;
    }
    if (ok) {
        key->clear();
        *out = s;
    }
    return ok;
}

}  // namespace veldw485::line
