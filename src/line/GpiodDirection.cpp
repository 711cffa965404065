#include "GpiodDirection.h"

#include <gpiod.h>

#include <cerrno>
#include <charconv>
#include <cstring>

#include "Trace.h"

namespace veldw485::line {

namespace {

// A line given as decimal digits is an offset, anything else a line name.
bool Offset(const std::string& text, unsigned int* offset) {
    const char* const end = text.data() + text.size();
    unsigned int value = 0;
    const std::from_chars_result r = std::from_chars(text.data(), end, value);
    if (text.size() > 5 || r.ec != std::errc() || r.ptr != end) {
        return false;
    }
    *offset = value;
    return true;
}

}  // namespace

void GpiodDirection::ChipCloser::operator()(gpiod_chip* chip) const {
    ::gpiod_chip_close(chip);
}

GpiodDirection::~GpiodDirection() {
    // The chip closes with its owner.
    if (_line != nullptr) {
        ::gpiod_line_release(_line);
    }
}

int GpiodDirection::Open(int /*fd_tty*/, unsigned char /*baudrate*/) {
    _chip.reset(::gpiod_chip_open_lookup(_settings.gpio_chip.c_str()));
    if (!_chip) {
        _failure = "gpio_chip \"" + _settings.gpio_chip + "\" : " + std::strerror(errno);
        return -1;
    }
    unsigned int offset = 0;
    gpiod_line* line = Offset(_settings.gpio_line, &offset)
                           ? ::gpiod_chip_get_line(_chip.get(), offset)
                           : ::gpiod_chip_find_line(_chip.get(), _settings.gpio_line.c_str());
    if (line == nullptr) {
        _failure = "gpio_line \"" + _settings.gpio_line + "\" of " + _settings.gpio_chip + " : " +
                   std::strerror(errno);
        _chip.reset();
        return -1;
    }
    const int flags = _settings.gpio_active_low ? GPIOD_LINE_REQUEST_FLAG_ACTIVE_LOW : 0;
    // Requested in its receive state, so the bus is free until the first request.
    if (::gpiod_line_request_output_flags(line, kConsumer, flags, 0) != 0) {
        _failure = "gpio_line \"" + _settings.gpio_line + "\" of " + _settings.gpio_chip +
                   " cannot be requested : " + std::strerror(errno);
        _chip.reset();
        return -1;
    }
    _line = line;
    VTRACE(Tag() << "RS-485: Open gpiod line: chip=" << _settings.gpio_chip
                 << " line=" << _settings.gpio_line
                 << " active=" << (_settings.gpio_active_low ? "low" : "high"));
    return 0;
}

int GpiodDirection::Close() {
    if (_line != nullptr) {
        ::gpiod_line_release(_line);
        _line = nullptr;
    }
    _chip.reset();
    return 0;
}

std::string GpiodDirection::Describe() const {
    return "gpiod, line " + _settings.gpio_line + " of " + _settings.gpio_chip + " active " +
           (_settings.gpio_active_low ? "low" : "high");
}

int GpiodDirection::modeWrite() {
    return ::gpiod_line_set_value(_line, 1);
}

int GpiodDirection::modeRead() {
    return ::gpiod_line_set_value(_line, 0);
}

}  // namespace veldw485::line
