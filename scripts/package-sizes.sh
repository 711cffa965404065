#!/bin/bash
# Prints the size of every Debian package of a build tree: dpkg's Installed-Size, the sum of
# the file sizes and the size of the .deb, in KiB. Makes the packages with cpack in a scratch
# directory, so the build tree's own packages are left alone.
# Usage: scripts/package-sizes.sh BUILD_DIR     (or: cmake --build BUILD_DIR --target package_sizes)
set -euo pipefail
bin=$(cd "${1:?usage: package-sizes.sh BUILD_DIR}" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
(cd "$bin" && cpack -G DEB -B "$scratch" > "$scratch/cpack.log" 2>&1) \
    || { cat "$scratch/cpack.log" >&2; exit 1; }
printf '%-16s %-8s %14s %10s %8s\n' package arch installed files .deb
for deb in "$scratch"/*.deb; do
    files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^[dl]/ { sum += $3 } END { print int((sum + 1023) / 1024) }')
    printf '%-16s %-8s %10s KiB %6s KiB %4s KiB\n' "$(dpkg-deb -f "$deb" Package)" \
        "$(dpkg-deb -f "$deb" Architecture)" "$(dpkg-deb -f "$deb" Installed-Size)" "$files" \
        "$(( ($(stat -c %s "$deb") + 1023) / 1024 ))"
done
