#!/bin/bash
# Builds the Debian packages of the build tree, installs them with dpkg into a scratch root
# (its own dpkg database; maintainer scripts run without chroot with DPKG_ROOT set) and
# starts the packaged daemon with the packaged simulator and tool. Runs inside the sandbox.
# Usage: deb_test.sh BINARY_DIR
set -euo pipefail
bin=$1
scratch=$(mktemp -d /var/local/sandbox/deb.XXXXXX)
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$bin" && cpack -G DEB -B "$scratch/pkg" > "$scratch/cpack.log") \
    || { cat "$scratch/cpack.log"; fail "cpack"; }
daemon_deb=$(ls "$scratch"/pkg/dwmid_*.deb)
lib_deb=$(ls "$scratch"/pkg/librs485-1_*.deb)
dev_deb=$(ls "$scratch"/pkg/librs485-dev_*.deb)
mqtt_deb=""
if [[ -e "$bin/tools/rs485mqtt/rs485mqtt" ]]; then
    mqtt_deb=$(ls "$scratch"/pkg/rs485mqtt_*.deb)
fi
depends=$(dpkg-deb -f "$daemon_deb" Depends)
[[ "$depends" == *"librs485-1 (= "* ]] || fail "dwmid does not depend on librs485-1: $depends"
[[ "$depends" == *libspdlog* ]] || fail "dwmid does not depend on spdlog: $depends"
[[ $(dpkg-deb -f "$lib_deb" Depends) == *libc6* ]] || fail "librs485-1 depends"
[[ $(dpkg-deb -f "$dev_deb" Depends) == *"librs485-1 (= "* ]] || fail "librs485-dev depends"

# Contents: runtime and development files apart, stripped programs, compressed man pages,
# templates outside /usr/share/doc, a copyright file in every package.
for deb in "$daemon_deb" "$lib_deb" "$dev_deb" $mqtt_deb; do
    name=$(dpkg-deb -f "$deb" Package)
    mkdir -p "$scratch/x/$name"
    dpkg-deb -x "$deb" "$scratch/x/$name"
    [[ -n $(find "$scratch/x/$name" -path "*/share/doc/$name/copyright") ]] \
        || fail "$name has no copyright"
done
lib_files=$(dpkg-deb -c "$lib_deb")
[[ "$lib_files" == *"/librs485.so.1 -> "* ]] || fail "librs485.so.1 link"
[[ "$lib_files" != *"/librs485.so -> "* && "$lib_files" != *rs485.h* \
    && "$lib_files" != */man3/* ]] \
    || fail "development files in the runtime package"
dev_files=$(dpkg-deb -c "$dev_deb")
for f in "/librs485.so -> " /include/rs485.h /include/rs485_version.h /librs485.pc \
         /rs485Config.cmake /share/man/man3/pxa_rs485_open.3.gz \
         /share/man/man3/pxa_rs485_shutdown.3.gz; do
    [[ "$dev_files" == *"$f"* ]] || fail "librs485-dev lacks $f"
done
daemon_files=$(dpkg-deb -c "$daemon_deb")
if [[ "$daemon_files" == *etc/vellib/* || "$daemon_files" == */man3/* ]]; then
    fail "the package must carry neither /usr/local/etc/vellib files nor section 3 pages"
fi
for f in /share/dwmid/dwmid.conf.example /share/dwmid/dwlib.conf.example \
         /share/dwmid/rs485sim-machines.json /share/man/man8/dwmid.8.gz /share/man/man5/dwmid.conf.5.gz /share/man/man1/rs485sim.1.gz \
         /share/man/man1/rs485ctl.1.gz; do
    [[ "$daemon_files" == *"$f"* ]] || fail "dwmid lacks $f"
done
for f in $(find "$scratch/x" -type f \( -path '*bin/*' -o -name 'librs485.so.1.*' \)); do
    if readelf -S "$f" | grep -qE '\.(symtab|debug_info)'; then fail "not stripped: $f"; fi
done
# Each package describes itself: its own summary line and long description.
# sed reads the whole description: head would leave dpkg-deb to die of SIGPIPE, which
# pipefail turns into a failure.
summaries=$(for deb in "$daemon_deb" "$lib_deb" "$dev_deb"; do
    dpkg-deb -f "$deb" Description | sed -n 1p; done | sort -u | wc -l)
[[ $summaries -eq 3 ]] || fail "the packages share a description"
for deb in "$daemon_deb" "$lib_deb" "$dev_deb"; do
    [[ $(dpkg-deb -f "$deb" Description | wc -l) -ge 3 ]] || fail "no long description: $deb"
done
dpkg-deb -e "$lib_deb" "$scratch/lib-control"
grep -qx 'activate-noawait ldconfig' "$scratch/lib-control/triggers" \
    || fail "librs485-1 does not activate the ldconfig trigger"
grep -q '^librs485 1 librs485-1 ' "$scratch/lib-control/shlibs" || fail "librs485-1 shlibs"
dpkg-deb -e "$daemon_deb" "$scratch/control"
if grep -q /usr/share/doc "$scratch"/control/postinst "$scratch"/control/prerm \
        "$scratch"/control/postrm; then
    fail "a maintainer script needs /usr/share/doc"
fi

root=$scratch/root
mkdir -p "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/info"
: > "$root/var/lib/dpkg/status"
# Maintainer scripts run without chroot here, so an ldconfig or systemctl they call would
# act on this system instead of the root: recording stand-ins come first on the PATH.
fakebin=$scratch/fakebin
mkdir -p "$fakebin"
for tool in ldconfig systemctl; do
    printf '#!/bin/sh\necho "%s $*" >> %s/host-calls\n' "$tool" "$scratch" > "$fakebin/$tool"
    chmod +x "$fakebin/$tool"
done
cache_before=$(stat -c '%Y %s' /etc/ld.so.cache 2>/dev/null || echo none)
dpkg_root() {
    PATH=$fakebin:$PATH dpkg --root="$root" --force-depends --force-script-chrootless \
        --force-not-root --log=/dev/null "$@"
}
host_untouched() {
    [[ ! -s "$scratch/host-calls" ]] || fail "$1 ran on the host: $(cat "$scratch/host-calls")"
    [[ $(stat -c '%Y %s' /etc/ld.so.cache 2>/dev/null || echo none) == "$cache_before" ]] \
        || fail "$1 changed the host's /etc/ld.so.cache"
}
dpkg_root -i "$lib_deb" "$dev_deb" "$daemon_deb" $mqtt_deb > "$scratch/dpkg.log" 2>&1 \
    || { cat "$scratch/dpkg.log"; fail "dpkg -i"; }
host_untouched "dpkg --root -i"
dpkg_root -s dwmid | grep -q '^Status: install ok installed' || fail "dwmid not installed"
dpkg_root -s librs485-1 | grep -q '^Status: install ok installed' || fail "librs485-1 not installed"
conf=$root/usr/local/etc/vellib
[[ -f "$conf/dwmid.conf" && -f "$conf/dwlib.conf" ]] || fail "postinst did not place the configuration"
# The bridge in a package of its own: dwmid needs no libmosquitto.
[[ "$daemon_files" != *rs485mqtt* ]] || fail "bridge files in the dwmid package"
[[ "$depends" != *libmosquitto* ]] || fail "dwmid depends on libmosquitto: $depends"
if [[ -n "$mqtt_deb" ]]; then
    mqtt_depends=$(dpkg-deb -f "$mqtt_deb" Depends)
    [[ "$mqtt_depends" == *"librs485-1 (= "* && "$mqtt_depends" == *libmosquitto* ]] \
        || fail "rs485mqtt depends: $mqtt_depends"
    mqtt_files=$(dpkg-deb -c "$mqtt_deb")
    for f in /bin/rs485mqtt /rs485mqtt.service /share/man/man1/rs485mqtt.1.gz \
             /share/dwmid/rs485mqtt.conf.example; do
        [[ "$mqtt_files" == *"$f"* ]] || fail "rs485mqtt lacks $f"
    done
    dpkg_root -s rs485mqtt | grep -q '^Status: install ok installed' \
        || fail "rs485mqtt not installed"
    [[ -f "$conf/rs485mqtt.conf" ]] || fail "postinst did not place rs485mqtt.conf"
fi
echo '{"kept": true}' > "$conf/dwmid.conf"
dpkg_root -i "$daemon_deb" > "$scratch/dpkg2.log" 2>&1 || { cat "$scratch/dpkg2.log"; fail "reinstall"; }
grep -q '"kept": true' "$conf/dwmid.conf" || fail "reinstall overwrote dwmid.conf"

dwmid=$(find "$root" -path '*/sbin/dwmid' -type f)
sim=$(find "$root" -path '*/bin/rs485sim' -type f)
ctl=$(find "$root" -path '*/bin/rs485ctl' -type f)
libdir=$(dirname "$(find "$root" -name librs485.so.1 | head -n 1)")
unit=$(find "$root" -name dwmid.service)
grep -qx "ExecStart=${dwmid#"$root"}" "$unit" || fail "unit ExecStart does not name the packaged dwmid"

# The packaged example configuration, with line 1 on the simulator and no start delay; the
# simulator answers as the packaged example machines.
machines=$(find "$root" -name rs485sim-machines.json)
"$sim" --link /var/local/sandbox/tty0 --config "$machines" --baud 3 \
    --log "$scratch/sim.log" > /dev/null 2>&1 &
sim_pid=$!
for _ in $(seq 100); do [[ -e /var/local/sandbox/tty0 ]] && break; sleep 0.1; done
[[ -e /var/local/sandbox/tty0 ]] || fail "simulator did not start"
example=$(find "$root" -name dwmid.conf.example)
sed -e 's#"/dev/ttyS1"#"/var/local/sandbox/tty0"#' \
    -e 's#"start_wait_interval": *[0-9]*#"start_wait_interval": 0#' "$example" \
    > /usr/local/etc/vellib/dwmid.conf
cp "$(find "$root" -name dwlib.conf.example)" /usr/local/etc/vellib/dwlib.conf
mkdir -p /var/local/vellog
"$dwmid" > "$scratch/dwmid.out" 2>&1 &
dwmid_pid=$!
for _ in $(seq 300); do
    grep -q 'accept end' /var/local/vellog/dwmid.log 2>/dev/null && break
    sleep 0.1
done
grep -q 'accept end' /var/local/vellog/dwmid.log || fail "packaged dwmid does not serve"
out=$(LD_LIBRARY_PATH=$libdir "$ctl" -c 1 -b 3 -d cr --text 1=P?) \
    || fail "packaged rs485ctl failed: $out"
[[ "$out" == *'complete    len 5    hex 52 45 41 44 59  text "READY"'* ]] \
    || fail "unexpected reply: $out"
kill -TERM "$dwmid_pid"
status=0
wait "$dwmid_pid" || status=$?
[[ $status -eq 0 ]] || fail "dwmid exit status $status after SIGTERM"
kill -TERM "$sim_pid"
wait "$sim_pid" || true
dpkg_root -r librs485-dev dwmid librs485-1 > "$scratch/dpkg3.log" 2>&1 \
    || { cat "$scratch/dpkg3.log"; fail "dpkg --root -r"; }
host_untouched "dpkg --root -r"
rm -rf "$scratch"
echo "package test passed"
