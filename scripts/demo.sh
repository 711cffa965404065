#!/bin/bash
# Starts dwmid in a sandbox with an example configuration, shows its settings display and
# stops it with SIGTERM.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}

"$root/scripts/install-deps.sh"
if [[ ! -x "$build/dwmid" ]]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRS485_BUILD_TESTS=OFF
    cmake --build "$build" -j "$(nproc)"
fi

exec "$root/scripts/sandbox" "$root/scripts/demo-inner.sh" "$build"
