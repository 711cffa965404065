// Reads and checks the direction-control keys of one configured line.
#pragma once

#include <string>

#include "DirectionSettings.h"
#include "SettingStore.h"

namespace veldw485::line {

class DirectionConfig {
  public:
    static constexpr int kMaxDelayMs = 100;

    // True with *out filled; false with *key naming the refused key and *reason saying why.
    // Without "direction", "de_line" decides as it always has: "none" selects rts-spi,
    // anything else gpio-sysfs, and no other key is read.
    static bool Read(const vel::settings::SettingStore& store, int line, DirectionSettings* out,
                     std::string* key, std::string* reason);
    // What de_line alone selects.
    static DirectionSettings FromDeLine(const std::string& de_line);
    // The mode's name as the "direction" key writes it.
    static const char* ModeName(DirectionMode mode);
};

}  // namespace veldw485::line
