// Tests of cross-built programs run under a user-mode emulator (scripts/sandbox sets
// RS485_EMULATED=1 and RS485_EMULATOR, e.g. "qemu-arm -L /"): everything is several times
// slower, and a few kernel services are not passed through.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

bool Emulated();

// Multiplier for time-outs that a simulated line must meet: 1 natively.
int EmulationSlowdown();

// argv unchanged, or, when argv[0] is a program built for another machine than the host's
// shell and RS485_EMULATOR is set, the emulator's command line in front of it (its program
// looked up in PATH, since the caller executes without a search).
std::vector<std::string> WithEmulator(const std::vector<std::string>& argv);

// Why owner-dead mutex recovery is not tested under emulation.
inline constexpr char kNoRobustFutexUnderEmulation[] =
    "qemu-user does not implement robust futex lists: the kernel never marks the mutex of a "
    "killed process as owner-dead, so the lock cannot be recovered under emulation";

}  // namespace testsupport
