#!/bin/bash
# The fleet demo's body, run inside the outer sandbox by demo-fleet.sh: the broker, the
# subscriber and the three controllers.
set -euo pipefail
build=$1
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
state=/var/local/sandbox
port=18831
seconds=${FLEET_SECONDS:-4}

printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\nuser root\n' "$port" \
    > "$state/mosquitto.conf"
/usr/sbin/mosquitto -c "$state/mosquitto.conf" > "$state/mosquitto.log" 2>&1 &
for _ in $(seq 1 100); do
    mosquitto_pub -p "$port" -t fleet/probe -n 2>/dev/null && break
    sleep 0.05
done
mosquitto_sub -p "$port" -v -t 'fleet/#' > "$state/fleet.txt" &

nodes=()
for i in 1 2 3; do
    # A sandbox of its own for each controller, in this network namespace.
    env -u RS485_SANDBOX_INNER -u RS485_SANDBOX_SCRATCH -u RS485_SANDBOX_SHARE_NET \
        "$root/scripts/sandbox" --share-net "$root/scripts/demo-fleet-node.sh" "$build" "$i" \
        "$port" "$seconds" > "$state/node$i.txt" 2>&1 &
    nodes+=($!)
done

# The latest message of every topic: node, channel, machine, status, length and text.
view() {
    awk '{ latest[$1] = $0 } END { for (t in latest) print latest[t] }' "$state/fleet.txt" |
        sort | sed -E \
        -e 's/^fleet\/([^/ ]+)\/status (.*)$/  \1  status \2/' \
        -e 's/^fleet\/([^/ ]+)\/([0-9]+)\/([0-9]+) .*"len":([0-9]+).*"status_name":"([^"]*)".*"text":"([^"]*)".*$/  \1  channel \2 machine \3  \5  len \4  "\6"/' \
        -e 's/^fleet\/([^/ ]+)\/([0-9]+)\/stats .*"cycles":([0-9]+).*"failed_cycles":([0-9]+).*$/  \1  channel \2 statistics: \3 cycles, \4 failed/'
}

for cycle in $(seq 1 "$seconds"); do
    sleep 1
    echo "=== merged view after ${cycle} s ==="
    view
done
status=0
for pid in "${nodes[@]}"; do
    wait "$pid" || status=1
done
sleep 0.3
echo "=== after the controllers stopped ==="
view | grep ' status '
if [[ $status -ne 0 ]]; then
    echo "a controller failed:" >&2
    cat "$state"/node*.txt >&2
fi
exit "$status"
