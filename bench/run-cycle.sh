#!/bin/bash
# Runs the polling-cycle benchmark inside the sandbox (it needs the SPI-tool stand-in).
# Builds nothing. Usage: bench/run-cycle.sh [BUILD_DIR] [CYCLES]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
cycles=${2:-10}
for f in "$build/bench/bench_cycle" "$build/tools/rs485sim/rs485sim"; do
    if [[ ! -x "$f" ]]; then
        echo "run-cycle: $f missing; build first (cmake --build $build)" >&2
        exit 1
    fi
done
RS485SIM_BIN="$build/tools/rs485sim/rs485sim" \
    exec "$root/scripts/sandbox" "$build/bench/bench_cycle" "$cycles"
