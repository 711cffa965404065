#include "DirectionControl.h"

#include "AutoDirection.h"
#include "GpioSysfsDirection.h"
#include "GpiodDirection.h"
#include "KernelDirection.h"
#include "RtsSpiDirection.h"

namespace veldw485::line {

std::unique_ptr<DirectionControl> DirectionControl::Create(const DirectionSettings& settings,
                                                           int channel) {
    switch (settings.mode) {
        case DirectionMode::kGpioSysfs:
            return std::make_unique<GpioSysfsDirection>(channel, settings);
        case DirectionMode::kKernel:
            return std::make_unique<KernelDirection>(channel, settings);
        case DirectionMode::kAuto:
            return std::make_unique<AutoDirection>(channel, settings);
        case DirectionMode::kGpiod:
            return std::make_unique<GpiodDirection>(channel, settings);
        case DirectionMode::kRtsSpi:
            break;
    }
    return std::make_unique<RtsSpiDirection>(channel, settings);
}

std::string DirectionControl::Tag() const {
    return "in thread [" + std::to_string(_channel) + "]: ";
}

}  // namespace veldw485::line
