#!/bin/bash
# Cross-builds everything for the 32-bit ARM controller (armhf) and runs the tests under
# qemu-arm. Installs what it needs (as root): the cross compiler, qemu-user and the armhf
# development packages, which co-install with the amd64 ones (Multi-Arch: same).
# Usage: scripts/test-arm.sh [CTEST_REGEX]   (default: every test)
# Environment: RS485_ARM_BUILD build directory (default build-arm in the source tree).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${RS485_ARM_BUILD:-$root/build-arm}
pattern=${1:-}
started=$(date +%s)

# The host tools of the build and of scripts/sandbox come with the common list, so the script
# also runs on a machine where scripts/test.sh has not been run.
"$root/scripts/install-deps.sh" g++-arm-linux-gnueabihf qemu-user file libspdlog-dev:armhf \
    libfmt-dev:armhf libgtest-dev:armhf libgmock-dev:armhf libgpiod-dev:armhf
# The MQTT bridge is built only where libmosquitto is found. Its armhf package pulls in the
# armhf libssl3, which must be the amd64 one's version; while the security mirror is being
# synced that version may not be had, and the ARM run then goes on without the bridge.
if ! "$root/scripts/install-deps.sh" libmosquitto-dev:armhf; then
    echo "test-arm: libmosquitto-dev:armhf could not be installed; rs485mqtt is not built" >&2
fi

cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/arm-linux-gnueabihf.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRS485_WERROR=ON
cmake --build "$build" -j"$(nproc)"
built=$(date +%s)

# The shared-memory layout's static_asserts were checked by the compiler for armhf above;
# make sure that the programs are what they should be.
for f in "$build/dwmid" "$build/lib/librs485.so.1"; do
    if ! file -L "$f" | grep -q 'ELF 32-bit LSB .* ARM, EABI5'; then
        echo "test-arm: $f is not a 32-bit ARM EABI5 object" >&2
        exit 1
    fi
done

# No binfmt_misc here: the sandbox runs each test, and the programs the tests start, under
# the emulator.
# The armhf libraries are installed multiarch, so the root prefix finds the loader and
# every library from one set; the cross toolchain's own copies must not be mixed in.
export RS485_EMULATOR="qemu-arm -L /"
export RS485CTL_BIN=$build/tools/rs485ctl/rs485ctl
# The C client of the library tests is compiled for the target too.
export RS485_CC=$(command -v arm-linux-gnueabihf-gcc)
status=0
# Emulation runs ten times slower and a starved test can miss a generous wait; a second
# attempt tells starvation from a fault, which fails both times.
ctest --test-dir "$build" --output-on-failure --repeat until-pass:2 ${pattern:+-R "$pattern"} ||
    status=$?
ended=$(date +%s)
echo "test-arm: build $((built - started)) s, tests $((ended - built)) s, total $((ended - started)) s"
exit "$status"
