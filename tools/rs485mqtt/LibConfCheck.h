// Checks the bridge's channels against the library's configuration: a channel that no
// "shared" group of dwlib.conf describes can be opened at the daemon but never attached.
#pragma once

#include <string>

#include "BridgeConfig.h"
#include "FixedPaths.h"

namespace rs485mqtt {

inline constexpr char kLibConfPath[] = RS485_CONF_DIR "/dwlib.conf";

class LibConfCheck {
  public:
    // False with the reason in *error when lib_conf cannot be read or parsed, or when a
    // channel of config is above the number of its "shared" groups.
    static bool Channels(const BridgeConfig& config, const std::string& lib_conf,
                         std::string* error);
};

}  // namespace rs485mqtt
