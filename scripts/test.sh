#!/bin/bash
# Installs what is missing, builds from scratch and runs the whole suite.
#   scripts/test.sh              normal build and suite
#   scripts/test.sh --sanitize   the same with AddressSanitizer and UndefinedBehaviorSanitizer
#   scripts/test.sh --tsan       ThreadSanitizer build; runs the tests that exercise threads
#                                and processes together (RS485_TSAN_TESTS: ctest -R pattern)
# Sanitizer reports of every process (tests, dwmid, simulator, clients) are written to
# <build>/sanitizer-reports; any report fails the run, even when the tests passed.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
mode=${1:-}
cmake_args=()
ctest_args=()
case "$mode" in
"")
    build=${BUILD_DIR:-$root/build-test}
    ;;
--sanitize)
    build=${BUILD_DIR:-$root/build-sanitize}
    cmake_args+=(-DRS485_SANITIZE=ON)
    ;;
--tsan)
    build=${BUILD_DIR:-$root/build-tsan}
    cmake_args+=(-DRS485_TSAN=ON)
    ctest_args+=(-R "${RS485_TSAN_TESTS:-^(e2e_|daemon_line_|daemon_server_socket|daemon_rs485_cycle)}")
    # ThreadSanitizer slows every process many times over; a test starved past one of its
    # waits gets a second attempt. Races still fail the run: every report is collected.
    ctest_args+=(--repeat until-pass:2)
    ;;
*)
    echo "usage: $0 [--sanitize|--tsan]" >&2
    exit 64
    ;;
esac

"$root/scripts/install-deps.sh"

rm -rf "$build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRS485_WERROR=ON "${cmake_args[@]}"
cmake --build "$build" -j "$(nproc)"

reports=$build/sanitizer-reports
mkdir -p "$reports"
# The variables reach every process of the suite: ctest passes them into the sandbox, and
# the tests hand their environment on to the daemon, the simulator and the client programs.
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:detect_stack_use_after_return=1:strict_init_order=1:log_path=$reports/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:log_path=$reports/tsan"
if [[ -f "$root/scripts/lsan.supp" ]]; then
    export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0"
fi

status=0
ctest --test-dir "$build" -j "$(nproc)" --output-on-failure "${ctest_args[@]}" || status=$?

if compgen -G "$reports/*" >/dev/null; then
    echo "test.sh: sanitizer reports in $reports:" >&2
    for f in "$reports"/*; do
        echo "==== $f" >&2
        cat "$f" >&2
    done
    status=1
fi
exit "$status"
