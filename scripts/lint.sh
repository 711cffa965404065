#!/bin/bash
# Static checks of the product code (src/ src_lib/ common/ tools/): clang-tidy with the
# checks of .clang-tidy and the compile database of a build directory, then cppcheck.
# Exits with status 1 when either reports a finding.
#   scripts/lint.sh [BUILD_DIR]    default: build-d (configured again to refresh the database)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath -m "${1:-$root/build-d}")
dirs=(src src_lib common tools)

missing=()
command -v clang-tidy >/dev/null || missing+=(clang-tidy)
command -v cppcheck >/dev/null || missing+=(cppcheck)
if [[ ${#missing[@]} -gt 0 ]]; then
    if [[ $(id -u) -ne 0 ]]; then
        echo "lint: missing tools (run as root to install): ${missing[*]}" >&2
        exit 1
    fi
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

# Configuring again brings the compile database up to date with the sources on disk.
cmake -S "$root" -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
db=$build/compile_commands.json

cd "$root"
# The product sources of the database.
# Filters only for directories that have some: cppcheck refuses a filter that matches nothing.
mapfile -t sources < <(grep -o "\"file\": \"$root/[^\"]*\"" "$db" | sed -e 's/^"file": "//' \
                           -e 's/"$//' -e "s|^$root/||" | sort -u)
filtered=()
existing=()
for d in "${dirs[@]}"; do
    found=0
    for f in "${sources[@]}"; do
        if [[ "$f" == "$d"/* ]]; then
            filtered+=("$f")
            found=1
        fi
    done
    if [[ $found -eq 1 ]]; then
        existing+=("$d")
    fi
done
sources=("${filtered[@]}")

status=0
echo "lint: clang-tidy on ${#sources[@]} files"
# One clang-tidy per file, as many at a time as there are processors. clang-tidy exits
# non-zero on any finding, since .clang-tidy turns every warning into an error.
if ! printf '%s\n' "${sources[@]}" |
        xargs -P "$(nproc)" -n 1 clang-tidy -p "$build" --quiet \
            2> >(grep -v -E '^[0-9]+ (warning|error)s? .*generated\.$' >&2); then
    status=1
fi

echo "lint: cppcheck"
filters=()
for d in "${existing[@]}"; do
    filters+=("--file-filter=$root/$d/*")
done
# Setting keys are passed by value, as the settings interface declares them.
if ! cppcheck --project="$db" "${filters[@]}" \
        --enable=warning,performance,portability --inline-suppr --quiet \
        --suppress=missingIncludeSystem \
        --suppress="passedByValue:$root/common/SettingStore.cpp" \
        --error-exitcode=1 -j "$(nproc)"; then
    status=1
fi

if [[ $status -ne 0 ]]; then
    echo "lint: findings reported above" >&2
else
    echo "lint: clean"
fi
exit "$status"
