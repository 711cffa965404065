#!/bin/bash
# Three simulated controllers publish their lines to one MQTT broker: a mosquitto broker on a
# loopback port and, for each controller, dwmid + rs485sim + rs485mqtt in a sandbox of its
# own (own System V objects, files and order port) that shares the network namespace of an
# outer sandbox with the broker. A subscriber to fleet/# prints the merged view of all three
# for a few cycles. Nothing is left behind: every process ends with the outer sandbox.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}

"$root/scripts/install-deps.sh"
if [[ ! -x "$build/dwmid" || ! -x "$build/tools/rs485sim/rs485sim" ||
      ! -x "$build/tools/rs485mqtt/rs485mqtt" ]]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build "$build" -j "$(nproc)" --target dwmid rs485sim rs485mqtt
fi

exec "$root/scripts/sandbox" "$root/scripts/demo-fleet-inner.sh" "$build"
