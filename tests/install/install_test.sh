#!/bin/bash
# Installs the build tree into a scratch prefix and builds the example application against it,
# once through pkg-config and once through find_package(rs485). Runs inside the sandbox, where
# /usr/local/etc/vellib is private. Usage: install_test.sh SOURCE_DIR BINARY_DIR
set -euo pipefail
src=$1
bin=$2
scratch=$(mktemp -d /var/local/sandbox/install.XXXXXX)
prefix=$scratch/prefix
fail() { echo "FAIL: $*" >&2; exit 1; }

# An existing configuration must survive the installation; a missing one is installed.
mkdir -p /usr/local/etc/vellib
rm -f /usr/local/etc/vellib/dwlib.conf
echo '{"kept": true}' > /usr/local/etc/vellib/dwmid.conf
cmake --install "$bin" --prefix "$prefix" > "$scratch/install.log"
grep -q '"kept": true' /usr/local/etc/vellib/dwmid.conf || fail "dwmid.conf was overwritten"
cmp -s "$src/packaging/dwlib.conf.example" /usr/local/etc/vellib/dwlib.conf \
    || fail "dwlib.conf was not installed from the example"
cmake --install "$bin" --prefix "$prefix" > /dev/null
grep -q '"kept": true' /usr/local/etc/vellib/dwmid.conf || fail "second install overwrote"

libdir=$(cd "$prefix" && dirname "$(find . -name librs485.so.1 | head -n 1)")
[[ "$libdir" != "." ]] || fail "librs485.so.1 not installed"
libdir=${libdir#./}
for f in sbin/dwmid bin/rs485ctl bin/rs485sim include/rs485.h include/rs485_version.h \
         "$libdir/librs485.so" \
         "$libdir/pkgconfig/librs485.pc" "$libdir/cmake/rs485/rs485Config.cmake" \
         "$libdir/cmake/rs485/rs485ConfigVersion.cmake" lib/systemd/system/dwmid.service \
         share/man/man1/rs485ctl.1.gz share/man/man1/rs485sim.1.gz share/man/man8/dwmid.8.gz \
         share/man/man5/dwmid.conf.5.gz \
         share/dwmid/dwmid.conf.example share/dwmid/dwlib.conf.example \
         share/dwmid/rs485sim-machines.json; do
    [[ -e "$prefix/$f" ]] || fail "missing $f"
done
# A compressed section 3 page for every exported function of the library.
for fn in open close setPortParams setComFlags putOutputStream startCom getReceiveStream \
          addEventListener removeEventListener getPortStatus putPortStatus verGet shutdown \
          setReplyFraming; do
    page=$prefix/share/man/man3/pxa_rs485_$fn.3.gz
    [[ -e "$page" ]] || fail "missing share/man/man3/pxa_rs485_$fn.3.gz"
    gzip -dc "$page" | grep -q '^\.SH RETURN VALUE' || fail "pxa_rs485_$fn.3.gz is no manual page"
done
# Every man page is installed once, compressed; none beside it uncompressed.
plain=$(find "$prefix/share/man" -type f ! -name '*.gz')
[[ -z "$plain" ]] || fail "uncompressed man pages installed: $plain"
# The version header carries the project's version, which the library's file name shows.
version=$(sed -n 's/^#define RS485_VERSION_\(MAJOR\|MINOR\|PATCH\) \([0-9]*\)$/\2/p' \
    "$prefix/include/rs485_version.h" | paste -sd.)
[[ -e "$prefix/$libdir/librs485.so.$version" ]] || fail "rs485_version.h says $version"
# Installed programs find the installed library from where they lie.
readelf -d "$prefix/bin/rs485ctl" | grep -q "R.*PATH.*\[\$ORIGIN/../$libdir\]" \
    || fail "rs485ctl has no run path relative to its place"
[[ $(readlink "$prefix/$libdir/librs485.so") == librs485.so.1 ]] || fail "librs485.so link"
[[ $(readlink "$prefix/$libdir/librs485.so.1") == librs485.so.1.* ]] || fail "librs485.so.1 link"
grep -qx 'Restart=on-failure' "$prefix/lib/systemd/system/dwmid.service" || fail "unit restart"
grep -qx 'StandardOutput=null' "$prefix/lib/systemd/system/dwmid.service" || fail "unit output"
# The MQTT bridge, where libmosquitto was found for the build.
if [[ -e "$bin/tools/rs485mqtt/rs485mqtt" ]]; then
    for f in bin/rs485mqtt share/man/man1/rs485mqtt.1.gz lib/systemd/system/rs485mqtt.service \
             share/dwmid/rs485mqtt.conf.example; do
        [[ -e "$prefix/$f" ]] || fail "missing $f"
    done
    grep -qx 'After=dwmid.service network-online.target' \
        "$prefix/lib/systemd/system/rs485mqtt.service" || fail "bridge unit order"
    cmp -s "$src/packaging/rs485mqtt.conf.example" /usr/local/etc/vellib/rs485mqtt.conf \
        || fail "rs485mqtt.conf was not installed from the example"
fi
grep -q '^ExecStartPre=/bin/mkdir -p /var/local/vellog$' "$prefix/lib/systemd/system/dwmid.service" \
    || fail "unit log directory"

# pkg-config, with the .pc file finding its prefix from where it lies.
export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
[[ $(pkg-config --modversion librs485) == 1.* ]] || fail "pkg-config version"
incdir=$(pkg-config --variable=includedir librs485)
[[ $(realpath "$incdir") == $(realpath "$prefix/include") ]] || fail "pkg-config includedir: $incdir"
mkdir "$scratch/pc"
cc -std=c99 -Wall -Werror -c "$src/examples/rs485_example.c" -o "$scratch/pc/example.o" \
    $(pkg-config --cflags librs485)
c++ -std=c++17 -Wall -Werror -c "$src/examples/shutdown_shim.cpp" -o "$scratch/pc/shim.o" \
    $(pkg-config --cflags librs485)
c++ "$scratch/pc/example.o" "$scratch/pc/shim.o" -o "$scratch/pc/rs485_example" \
    $(pkg-config --libs librs485)
readelf -d "$scratch/pc/rs485_example" | grep -q 'NEEDED.*\[librs485.so.1\]' \
    || fail "pkg-config build does not need librs485.so.1"

# find_package(rs485) with the imported target rs485::rs485.
mkdir "$scratch/cm"
cat > "$scratch/cm/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.16)
project(app C CXX)
find_package(rs485 1.0 REQUIRED)
add_executable(rs485_example $src/examples/rs485_example.c $src/examples/shutdown_shim.cpp)
target_link_libraries(rs485_example PRIVATE rs485::rs485)
CMAKE
# A sanitized build installs a sanitized library; the application then needs the same
# runtime, loaded first.
san=()
needed=$(readelf -d "$prefix/$libdir/librs485.so.1")
if [[ "$needed" == *libasan* ]]; then
    san=(-DCMAKE_C_FLAGS=-fsanitize=address,undefined -DCMAKE_CXX_FLAGS=-fsanitize=address,undefined)
elif [[ "$needed" == *libtsan* ]]; then
    san=(-DCMAKE_C_FLAGS=-fsanitize=thread -DCMAKE_CXX_FLAGS=-fsanitize=thread)
fi
cmake -S "$scratch/cm" -B "$scratch/cm/build" -DCMAKE_PREFIX_PATH="$prefix" "${san[@]}" \
    > "$scratch/cm.log"
cmake --build "$scratch/cm/build" >> "$scratch/cm.log" || { cat "$scratch/cm.log"; fail "find_package build"; }
readelf -d "$scratch/cm/build/rs485_example" | grep -q 'NEEDED.*\[librs485.so.1\]' \
    || fail "find_package build does not need librs485.so.1"
# The installed tool and the application run without LD_LIBRARY_PATH or ldconfig; with the
# installed configuration ("trace": "off") the application's output is its own.
env -u LD_LIBRARY_PATH "$prefix/bin/rs485ctl" --help | grep -q -- '--channel' \
    || fail "installed rs485ctl"
app_out=$(env -u LD_LIBRARY_PATH "$scratch/cm/build/rs485_example" -n 1 1:3:100:13:0:0:01 2>&1) \
    && fail "the application found a daemon"
[[ "$app_out" == *"open channel 1: -3"* ]] || fail "application did not run: $app_out"
if grep -q '^<' <<< "$app_out"; then fail "trace lines in the application's output: $app_out"; fi

# A configuration directory that cannot be written is a warning, not a failed install.
mkdir -p "$scratch/dest/usr/local"
: > "$scratch/dest/usr/local/etc"
DESTDIR=$scratch/dest cmake --install "$bin" --prefix /opt/rs485 > "$scratch/install2.log" 2>&1 \
    || { cat "$scratch/install2.log"; fail "install with an unwritable configuration directory"; }
warning=$(tr '\n' ' ' < "$scratch/install2.log")  # CMake wraps the warning
[[ "$warning" =~ Not\ installed:\ +[^\ ]*/usr/local/etc/vellib/dwmid\.conf ]] \
    || { cat "$scratch/install2.log"; fail "no warning about the configuration"; }
[[ -x "$scratch/dest/opt/rs485/sbin/dwmid" ]] || fail "DESTDIR install incomplete"
rm -rf "$scratch"
echo "install test passed"
