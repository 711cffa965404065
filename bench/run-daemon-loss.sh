#!/bin/bash
# Runs the daemon-loss benchmark inside the sandbox. Builds nothing.
# Usage: bench/run-daemon-loss.sh [BUILD_DIR] [ROUNDS]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
rounds=${2:-10}
for f in "$build/bench/bench_daemon_loss" "$build/dwmid"; do
    if [[ ! -x "$f" ]]; then
        echo "run-daemon-loss: $f missing; build first (cmake --build $build)" >&2
        exit 1
    fi
done
DWMID_BIN="$build/dwmid" LD_LIBRARY_PATH="$build/lib" \
    "$root/scripts/sandbox" "$build/bench/bench_daemon_loss" "$rounds" | grep -v '^<'
