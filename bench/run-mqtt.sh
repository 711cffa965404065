#!/bin/bash
# Benchmark of rs485mqtt inside the sandbox: dwmid and rs485sim (one line, baud index 5,
# three answering machines, paced replies), a mosquitto broker on loopback, the bridge at a
# 100 ms cycle period and mosquitto_sub stamping every message on arrival. Prints the latency
# from the end of a cycle (the payload's "time") to the message at the subscriber, and the
# bridge's CPU share and resident memory. Builds nothing.
# Usage: bench/run-mqtt.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

if [[ "${1:-}" != "--inner" ]]; then
    build=$(cd "${1:-$root/build}" && pwd)
    for f in "$build/dwmid" "$build/tools/rs485sim/rs485sim" "$build/tools/rs485mqtt/rs485mqtt"; do
        if [[ ! -x "$f" ]]; then
            echo "run-mqtt: $f missing; build first (cmake --build $build)" >&2
            exit 1
        fi
    done
    exec "$root/scripts/sandbox" "${BASH_SOURCE[0]}" --inner "$build" "${2:-20}"
fi

build=$2
seconds=$3
state=/var/local/sandbox
cat > "$state/machines.json" <<'JSON'
{"machines": [
  {"name": "a", "match": {"prefix_text": "A"}, "reply_text": "A-OK 0012.34\u0003\u001c"},
  {"name": "b", "match": {"prefix_text": "B"}, "reply_text": "READY\r"},
  {"name": "c", "match": {"prefix_text": "C"}, "reply_text": "T=21.5C"}
]}
JSON
"$build/tools/rs485sim/rs485sim" --link "$state/tty0" --baud 5 --config "$state/machines.json" \
    --log "$state/sim.log" &
for _ in $(seq 1 100); do [[ -e "$state/tty0" ]] && break; sleep 0.05; done
cat > /usr/local/etc/vellib/dwmid.conf <<JSON
{
  "order_conn": {"server": "localhost", "port": 10001, "conenct_timeout": 200,
                 "res_wait_timeout": 1000},
  "log": {"log_dir": "/var/local/vellog", "log_file": "dwmid.log",
          "log_max_bytes": 1000000, "log_counts": 2},
  "line": [{"device": "$state/tty0", "de_line": "none", "baudrate": 5, "max_machine": 15}],
  "shared_indata_num": 2, "shared_key_dir": "/var/local/velkey",
  "shared": [{"ipc_key": ["shm0_rcv.key", "shm0_ctl.key"], "sh_id": [1, 2],
              "shmem_size": [8192, 256], "sem_key": ["sem0_rcv.key", "sem0_ctl.key"]}],
  "start_wait_interval": 0
}
JSON
cp /usr/local/etc/vellib/dwmid.conf /usr/local/etc/vellib/dwlib.conf
"$build/dwmid" > /dev/null 2>&1 &
for _ in $(seq 1 200); do
    grep -q "accept end" /var/local/vellog/dwmid.log 2>/dev/null && break
    sleep 0.05
done
printf 'listener 18832 127.0.0.1\nallow_anonymous true\npersistence false\nuser root\n' \
    > "$state/mosquitto.conf"
/usr/sbin/mosquitto -c "$state/mosquitto.conf" > /dev/null 2>&1 &
for _ in $(seq 1 100); do
    mosquitto_pub -p 18832 -t bench/probe -n 2>/dev/null && break
    sleep 0.05
done
mosquitto_sub -p 18832 -F '%U %t %p' -t 'bench/#' >> "$state/arrivals.txt" &
cat > "$state/bridge.conf" <<'JSON'
{"broker": {"host": "127.0.0.1", "port": 18832, "qos": 1}, "node": "n1",
 "topic_prefix": "bench", "statistics_interval": 5,
 "channels": [{"channel": 1, "baud_index": 5, "cycle_period_ms": 100, "machines": [
   {"machine": 1, "delimiter": "etx", "trailing": 1, "request_text": "A?"},
   {"machine": 2, "delimiter": "cr", "request_text": "B?"},
   {"machine": 3, "delimiter": "none", "request_text": "C?"}]}]}
JSON
"$build/tools/rs485mqtt/rs485mqtt" --config "$state/bridge.conf" 2> "$state/bridge.log" &
bridge=$!
sleep 2  # start-up and the first cycles are not measured
: > "$state/arrivals.txt"
ticks() { awk '{ print $14 + $15 }' "/proc/$bridge/stat"; }
t0=$(ticks)
start=$(date +%s.%N)
sleep "$seconds"
t1=$(ticks)
end=$(date +%s.%N)
rss=$(awk '/^VmRSS/ { print $2 }' "/proc/$bridge/status")
hwm=$(awk '/^VmHWM/ { print $2 }' "/proc/$bridge/status")
kill -TERM "$bridge"
wait "$bridge"

hz=$(getconf CLK_TCK)
echo "rs485mqtt over ${seconds} s, 3 machines at a 100 ms cycle period, baud index 5, QoS 1"
awk -v t0="$t0" -v t1="$t1" -v a="$start" -v b="$end" -v hz="$hz" \
    'BEGIN { printf "bridge CPU: %.2f %% of one core\n", 100 * (t1 - t0) / hz / (b - a) }'
echo "bridge resident memory: ${rss} kB (peak ${hwm} kB)"
# Seconds of the day at arrival minus those of the payload's "time" (UTC, same clock).
grep -E '^[0-9.]+ bench/n1/1/[0-9]+ ' "$state/arrivals.txt" |
    sed -E 's/^([0-9.]+) .*"time":"[0-9-]+T([0-9]+):([0-9]+):([0-9.]+)Z".*$/\1 \2 \3 \4/' |
    awk '{ day = $1 % 86400; t = $2 * 3600 + $3 * 60 + $4; d = day - t;
           if (d < -43200) d += 86400; printf "%.3f\n", d * 1000 }' | sort -n |
    awk '{ v[NR] = $1 } END {
           if (NR == 0) { print "no machine messages"; exit 1 }
           printf "latency end of cycle -> subscriber (%d messages): median %.2f ms, " \
                  "p95 %.2f ms, max %.2f ms\n", NR, v[int((NR + 1) / 2)], v[int(NR * 0.95 + 0.5)], v[NR] }'
