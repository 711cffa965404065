#include "DirectionProbe.h"

#include <fcntl.h>
#include <glob.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "ExitCode.h"
#include "FixedPaths.h"

namespace rs485ctl {

namespace {

void Line(std::FILE* out, const char* mode, const char* verdict, const std::string& detail) {
    std::fprintf(out, "  %-11s %-4s %s\n", mode, verdict, detail.c_str());
}

std::string Error(const char* call) {
    return std::string(call) + ": " + std::strerror(errno);
}

void Kernel(int fd, std::FILE* out) {
    serial_rs485 now{};
    if (::ioctl(fd, TIOCGRS485, &now) != 0) {
        Line(out, "kernel", "no", Error("TIOCGRS485"));
        return;
    }
    // Written back unchanged: only whether the driver takes the call is asked.
    serial_rs485 same = now;
    if (::ioctl(fd, TIOCSRS485, &same) != 0) {
        Line(out, "kernel", "no", Error("TIOCSRS485"));
        return;
    }
    char text[128];
    std::snprintf(text, sizeof(text),
                  "TIOCGRS485 and TIOCSRS485 accepted; RS-485 mode now %s (flags=0x%02x)",
                  (now.flags & SER_RS485_ENABLED) != 0 ? "on" : "off", now.flags & 0xffU);
    Line(out, "kernel", "yes", text);
}

void RtsSpi(int fd, std::FILE* out) {
    int bits = 0;
    const bool rts = ::ioctl(fd, TIOCMGET, &bits) == 0;
    const std::string rts_text = rts ? "RTS control accepted" : Error("TIOCMGET");
    const bool tool = ::access(RS485_SPI_TOOL, X_OK) == 0;
    const bool fpga = ::access(RS485_FPGA_DEVICE, F_OK) == 0;
    Line(out, "rts-spi", rts && tool && fpga ? "yes" : "no",
         rts_text + "; " RS485_SPI_TOOL " " + (tool ? "present" : "missing") +
             "; " RS485_FPGA_DEVICE " " + (fpga ? "present" : "missing"));
}

void Gpio(std::FILE* out) {
    const bool sysfs = ::access(RS485_GPIO_SYSFS_DIR "/export", W_OK) == 0;
    Line(out, "gpio-sysfs", sysfs ? "yes" : "no",
         std::string(RS485_GPIO_SYSFS_DIR "/export ") + (sysfs ? "writable" : "missing"));
    glob_t chips{};
    std::string names;
    if (::glob("/dev/gpiochip*", 0, nullptr, &chips) == 0) {
        for (std::size_t i = 0; i < chips.gl_pathc; ++i) {
            names += std::string(names.empty() ? "" : " ") + chips.gl_pathv[i];
        }
    }
    ::globfree(&chips);
    Line(out, "gpiod", names.empty() ? "no" : "yes",
         names.empty() ? "no GPIO chip (/dev/gpiochip*)" : "GPIO chips: " + names);
}

void Usb(const std::string& device, std::FILE* out) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const std::string name = fs::canonical(device, ec).filename().string();
    const fs::path dir = fs::path("/sys/bus/usb-serial/devices") / name;
    if (ec || !fs::exists(dir, ec)) {
        Line(out, "auto", "?",
             "not a USB serial adapter; only for hardware that switches "
             "direction by itself");
        return;
    }
    std::ifstream in(dir / "latency_timer");
    int ms = -1;
    std::string detail = "USB serial adapter " + name;
    if (in >> ms) {
        detail += ", latency timer " + std::to_string(ms) + " ms" +
                  (ms > 1 ? " (delays every reply: set it to 1)" : "");
    }
    Line(out, "auto", "?", detail + "; if it switches direction by itself");
}

}  // namespace

int DirectionProbe::Run(const std::string& device, std::FILE* out) {
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        std::fprintf(stderr, "rs485ctl: cannot open %s: %s\n", device.c_str(),
                     std::strerror(errno));
        return kExitRunFailed;
    }
    std::fprintf(out, "direction modes of %s:\n", device.c_str());
    Kernel(fd, out);
    RtsSpi(fd, out);
    Gpio(out);
    Usb(device, out);
    ::close(fd);
    return kExitOk;
}

}  // namespace rs485ctl
