// The line driver with its internals in reach of the tests, and the sandbox files it uses.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "GpioSysfsDirection.h"
#include "Rs485Control.h"
#include "RtsSpiDirection.h"
#include "TestSupport.h"

namespace rs485test {

class Driver : public veldw485::line::Rs485Control {
  public:
    using Rs485Control::_rs485_rcvData;
    using Rs485Control::_setLineFormat;
    using Rs485Control::_stComWriteData;
    using Rs485Control::Rs485Control;

    int FdTty() const { return _fdTty; }
    // The GPIO value file's descriptor in gpio-sysfs mode; -1 in any other mode.
    int FdDe() {
        auto* gpio = dynamic_cast<veldw485::line::GpioSysfsDirection*>(&_directionControl());
        return gpio != nullptr ? gpio->FdDe() : -1;
    }
    // The RTS mode's control, for its SPI-tool commands; null in any other mode.
    veldw485::line::RtsSpiDirection* Rts() {
        return dynamic_cast<veldw485::line::RtsSpiDirection*>(&_directionControl());
    }
    const termios& Termios() const { return _termios; }
    const veldw485::line::Rs485Settings& Settings() const { return _rs485settings; }
};

inline constexpr char kSpiFail[] = "/var/local/sandbox/spitool.fail";
inline constexpr char kGpioExport[] = "/sys/class/gpio/export";
inline constexpr char kGpioDirection[] = "/sys/class/gpio/gpio86/direction";

inline bool InSandbox() {
    const char* inner = std::getenv("RS485_SANDBOX_INNER");
    return inner != nullptr && std::string(inner) == "1";
}

// Empty SPI-tool log, no injected failure, empty GPIO files.
inline void ResetSandboxFiles() {
    ::unlink(kSpiFail);
    testsupport::WriteFile(testsupport::kSpiLog, "");
    testsupport::WriteFile(kGpioExport, "");
    testsupport::WriteFile(kGpioDirection, "");
    testsupport::WriteFile(testsupport::kGpioValue, "");
}

// The command lines the SPI-tool stand-in was run with, tool path included.
inline std::vector<std::string> SpiCommands() {
    std::vector<std::string> out;
    for (const std::string& line :
         testsupport::Lines(testsupport::ReadFile(testsupport::kSpiLog))) {
        if (!line.empty()) {
            out.push_back("/usr/sbin/spitool " + line);
        }
    }
    return out;
}

class SandboxTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!InSandbox()) {
            GTEST_SKIP() << "runs only inside scripts/sandbox";
        }
        ResetSandboxFiles();
    }
};

}  // namespace rs485test
