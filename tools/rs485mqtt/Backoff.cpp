#include "Backoff.h"

namespace rs485mqtt {

long Backoff::Next() {
    const long delay = next_ms_;
    next_ms_ = delay > max_ms_ / 2 ? max_ms_ : delay * 2;
    return delay;
}

}  // namespace rs485mqtt
