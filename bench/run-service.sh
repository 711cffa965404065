#!/bin/bash
# Runs the service benchmark inside the sandbox and prints the stripped sizes of dwmid and
# librs485.so.1 for armhf when the ARM build exists. Builds nothing.
# Usage: bench/run-service.sh [BUILD_DIR] [CYCLES] [ARM_BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
cycles=${2:-500}
arm=${3:-$root/build-arm}
for f in "$build/bench/bench_service" "$build/tools/rs485sim/rs485sim" "$build/dwmid"; do
    if [[ ! -x "$f" ]]; then
        echo "run-service: $f missing; build first (cmake --build $build)" >&2
        exit 1
    fi
done
RS485SIM_BIN="$build/tools/rs485sim/rs485sim" DWMID_BIN="$build/dwmid" \
    LD_LIBRARY_PATH="$build/lib" "$root/scripts/sandbox" "$build/bench/bench_service" "$cycles" \
    | grep -v '^<'

echo
echo "Stripped sizes for armhf"
if [[ -x "$arm/dwmid" && -f "$arm/lib/librs485.so.1" ]]; then
    tmp=$(mktemp -d)
    strip_tool=arm-linux-gnueabihf-strip
    command -v "$strip_tool" >/dev/null || strip_tool=strip
    for f in "$arm/dwmid" "$arm/lib/librs485.so.1"; do
        "$strip_tool" -o "$tmp/$(basename "$f")" "$f"
        printf '%-34s %10d bytes\n' "$(basename "$f")" "$(stat -c %s "$tmp/$(basename "$f")")"
    done
    rm -rf "$tmp"
else
    echo "skipped: no ARM build in $arm (dwmid and lib/librs485.so.1)"
fi
