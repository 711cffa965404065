#!/bin/bash
# Runs the shutdown benchmark inside the sandbox. Builds nothing.
# Usage: bench/run-shutdown.sh [BUILD_DIR] [RUNS]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
runs=${2:-3}
for f in "$build/bench/bench_shutdown" "$build/tools/rs485sim/rs485sim" "$build/dwmid"; do
    if [[ ! -x "$f" ]]; then
        echo "run-shutdown: $f missing; build first (cmake --build $build)" >&2
        exit 1
    fi
done
RS485SIM_BIN="$build/tools/rs485sim/rs485sim" DWMID_BIN="$build/dwmid" \
    LD_LIBRARY_PATH="$build/lib" "$root/scripts/sandbox" "$build/bench/bench_shutdown" "$runs" \
    | grep -v '^<'
