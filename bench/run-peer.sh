#!/bin/bash
# Runs the side-by-side benchmark (line driver and libmodbus) inside the sandbox (the driver
# needs the SPI-tool stand-in). Builds nothing. Usage: bench/run-peer.sh [BUILD_DIR] [CYCLES]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
cycles=${2:-10}
for f in "$build/bench/bench_peer" "$build/tools/rs485sim/rs485sim"; do
    if [[ ! -x "$f" ]]; then
        echo "run-peer: $f missing; build first (cmake --build $build --target bench_peer rs485sim)" >&2
        exit 1
    fi
done
RS485SIM_BIN="$build/tools/rs485sim/rs485sim" \
    exec "$root/scripts/sandbox" "$build/bench/bench_peer" "$cycles"
