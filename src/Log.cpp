#include "Log.h"

namespace veldw485 {

std::shared_ptr<spdlog::logger> GetLogger() {
    try {
        return spdlog::get(kLoggerName);
    } catch (...) {
        return nullptr;
    }
}

}  // namespace veldw485
