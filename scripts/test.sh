#!/bin/bash
# Installs what is missing, builds from scratch and runs the whole suite.
#   scripts/test.sh              normal build and suite
#   scripts/test.sh --sanitize   the same with AddressSanitizer and UndefinedBehaviorSanitizer
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
sanitize=OFF
build=${BUILD_DIR:-$root/build-test}
if [[ "${1:-}" == "--sanitize" ]]; then
    sanitize=ON
    build=${BUILD_DIR:-$root/build-sanitize}
fi

"$root/scripts/install-deps.sh"

rm -rf "$build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRS485_SANITIZE="$sanitize"
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" -j "$(nproc)" --output-on-failure
