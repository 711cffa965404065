#!/bin/bash
# Installs the Debian packages needed to build, test and run the demo (as root), and any
# further packages named on the command line.
set -euo pipefail

packages=(build-essential cmake pkg-config libspdlog-dev libfmt-dev picojson-dev
          libgtest-dev libgmock-dev socat iproute2 util-linux procps
          libcli11-dev dpkg-dev valgrind libmodbus-dev mosquitto mosquitto-clients
          libmosquitto-dev libgpiod-dev "$@")
missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
if [[ ${#missing[@]} -gt 0 ]]; then
    if [[ $(id -u) -ne 0 ]]; then
        echo "install-deps: missing packages (run as root): ${missing[*]}" >&2
        exit 1
    fi
    # Packages of another architecture (name:arch) need it added to dpkg first.
    for p in "${missing[@]}"; do
        arch=${p#*:}
        if [[ "$arch" != "$p" ]] && ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
            dpkg --add-architecture "$arch"
        fi
    done
    # A mirror in the middle of a sync fails an index now and then: try again, then go on with
    # what was fetched (the install itself fails if a package is still not to be had).
    for attempt in 1 2 3; do
        if apt-get update; then
            break
        fi
        echo "install-deps: apt-get update failed (attempt $attempt of 3)" >&2
        sleep 15
    done
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi
