// The plan of a configuration as text: what the bridge would connect to, which lines and
// machines it would poll with which requests, and the topics it would use.
#pragma once

#include <cstdio>
#include <string>

#include "BridgeConfig.h"

namespace rs485mqtt {

class PlanPrinter {
  public:
    static void Print(std::FILE* out, const std::string& path, const BridgeConfig& config);
};

}  // namespace rs485mqtt
