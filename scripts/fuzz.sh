#!/bin/bash
# Builds the libFuzzer targets with clang (ASan and UBSan) into build-fuzz and runs each one
# inside the sandbox for the given number of seconds (default 60):
#   scripts/fuzz.sh [seconds] [target...]
# With RS485_FUZZ_RUNS=N a target also stops after N executions, whichever comes first (the
# benchmark campaign runs each target to 1000000 executions that way).
# Seeds come from fuzz/corpus/<target>; new inputs go to build-fuzz/corpus/<target>, so the
# repository's corpus only changes by hand. A crashing input is kept as
# build-fuzz/artifacts/<target>-crash-<hash> and fails the run; turn it into a regression test.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-60}
shift || true
build=${BUILD_DIR:-$root/build-fuzz}
targets=("$@")
if [[ ${#targets[@]} -eq 0 ]]; then
    targets=(config_loader_fuzz order_dispatch_fuzz reply_framing_fuzz client_reply_fuzz)
fi

declare -A max_len=([config_loader_fuzz]=8192 [order_dispatch_fuzz]=2100
                    [reply_framing_fuzz]=602 [client_reply_fuzz]=8192)

"$root/scripts/install-deps.sh" clang libclang-rt-14-dev

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_COMPILER=clang++ -DRS485_FUZZ=ON -DRS485_BUILD_TESTS=OFF -DRS485_WERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"

export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
mkdir -p "$build/artifacts"
failed=()
for t in "${targets[@]}"; do
    work=$build/corpus/$t
    mkdir -p "$work"
    echo "== $t: ${seconds}s"
    if ! "$root/scripts/sandbox" "$build/fuzz/$t" "$work" "$root/fuzz/corpus/$t" \
            -max_total_time="$seconds" ${RS485_FUZZ_RUNS:+-runs="$RS485_FUZZ_RUNS"} \
            -max_len="${max_len[$t]:-4096}" -timeout=20 \
            -artifact_prefix="$build/artifacts/$t-" -print_final_stats=1 \
            >"$build/$t.log" 2>&1; then
        failed+=("$t")
        tail -n 60 "$build/$t.log" >&2
    else
        grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$build/$t.log" || true
    fi
done

if [[ ${#failed[@]} -gt 0 ]]; then
    echo "fuzz.sh: failed: ${failed[*]} (inputs in $build/artifacts)" >&2
    exit 1
fi
echo "fuzz.sh: all targets ran ${RS485_FUZZ_RUNS:+up to $RS485_FUZZ_RUNS executions or }${seconds}s without a finding"
