// Reads and checks the bridge's JSON configuration. A refused file gets one message that
// names the offending key by its path, e.g. channels[0].machines[1].format.
#pragma once

#include <string>

#include "BridgeConfig.h"

namespace rs485mqtt {

class ConfigLoader {
  public:
    // Reads the file at path; false with the reason in *error.
    static bool Load(const std::string& path, BridgeConfig* config, std::string* error);
    // The same for configuration text.
    static bool Parse(const std::string& text, BridgeConfig* config, std::string* error);
};

}  // namespace rs485mqtt
