#include "GpioSysfsDirection.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "FixedPaths.h"
#include "Trace.h"

namespace veldw485::line {

namespace {

constexpr char kGpioExport[] = RS485_GPIO_SYSFS_DIR "/export";
constexpr char kGpioDirection[] = RS485_GPIO_SYSFS_DIR "/gpio86/direction";
constexpr char kGpioValue[] = RS485_GPIO_SYSFS_DIR "/gpio86/value";

// Opens a sysfs file, writes text and closes it; the result is not needed by the caller.
void WriteSysfs(const char* path, const char* text) {
    const int fd = ::open(path, O_WRONLY | O_NOCTTY);
    if (fd < 0) {
        return;
    }
    const ssize_t written = ::write(fd, text, std::strlen(text));
    static_cast<void>(written);
    ::close(fd);
}

}  // namespace

GpioSysfsDirection::~GpioSysfsDirection() {
    if (_fdDe >= 0) {
        ::close(_fdDe);
    }
}

int GpioSysfsDirection::Open(int /*fd_tty*/, unsigned char /*baudrate*/) {
    _fdDe = _openDeLine();
    if (_fdDe < 0) {
        VERROR(Tag() << "RS-485: Open DE Line error: fdde=" << _fdDe);
        return -1;
    }
    VTRACE(Tag() << "RS-485: Open DE Line: fdde=" << _fdDe << "  de_line=" << _settings.de_line);
    return 0;
}

int GpioSysfsDirection::Close() {
    int result = 0;
    if (_fdDe >= 0) {
        if (::close(_fdDe) != 0) {
            VERROR(Tag() << "RS-485: Close error: fdde=" << _fdDe);
            result = 1;
        }
        _fdDe = -1;
    }
    return result;
}

std::string GpioSysfsDirection::Describe() const {
    if (!_settings.from_de_line) {
        return "GPIO 86 (direction \"gpio-sysfs\")";
    }
    return "GPIO 86 (de_line \"" + _settings.de_line + "\"; only \"none\" selects RTS)";
}

int GpioSysfsDirection::_openDeLine() {
    WriteSysfs(kGpioExport, "86");
    WriteSysfs(kGpioDirection, "out");
    return ::open(kGpioValue, O_RDWR | O_NOCTTY | O_SYNC);
}

int GpioSysfsDirection::modeWrite() {
    return static_cast<int>(::write(_fdDe, "1", 1));
}

int GpioSysfsDirection::modeRead() {
    return static_cast<int>(::write(_fdDe, "0", 1));
}

}  // namespace veldw485::line
