// The adapter switches direction by itself (a USB adapter with automatic direction control):
// nothing is switched here.
#pragma once

#include <string>

#include "SelfSwitchingDirection.h"

namespace veldw485::line {

class AutoDirection : public SelfSwitchingDirection {
  public:
    using SelfSwitchingDirection::SelfSwitchingDirection;

    int Open(int /*fd_tty*/, unsigned char /*baudrate*/) override { return 0; }
    int Close() override { return 0; }
    std::string Describe() const override {
        return std::string("auto (the adapter switches), echo ") + EchoName();
    }
};

}  // namespace veldw485::line
