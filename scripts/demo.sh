#!/bin/bash
# The main job on a simulated bus: three lines, each answered by rs485sim; dwmid serves them;
# the example application opens channel 1, configures four machines of different framings,
# runs three cycles, prints every reply and status, and shuts the daemon down.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}

"$root/scripts/install-deps.sh"
if [[ ! -x "$build/dwmid" || ! -x "$build/tools/rs485sim/rs485sim" ||
      ! -x "$build/examples/rs485_example" ]]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build "$build" -j "$(nproc)" --target dwmid rs485sim rs485_example
fi

exec "$root/scripts/sandbox" "$root/scripts/demo-inner.sh" "$build"
