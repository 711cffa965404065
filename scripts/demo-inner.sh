#!/bin/bash
# The demo's body, run inside the sandbox by demo.sh.
set -euo pipefail
build=$1
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
state=/var/local/sandbox

for i in 0 1 2; do
    "$build/tools/rs485sim/rs485sim" --link "$state/tty$i" --baud 3 \
        --config "$root/examples/demo-machines.json" --log "$state/sim$i.log" &
done
for i in 0 1 2; do
    for _ in $(seq 1 100); do [[ -e "$state/tty$i" ]] && break; sleep 0.05; done
done

groups=""
lines=""
for i in 0 1 2; do
    sep=$([[ $i -gt 0 ]] && echo "," || true)
    lines+="$sep
    {\"device\": \"$state/tty$i\", \"de_line\": \"none\", \"baudrate\": 3, \"max_machine\": 15}"
    groups+="$sep
    {\"ipc_key\": [\"shm${i}_rcv.key\", \"shm${i}_ctl.key\"], \"sh_id\": [$((2 * i + 1)), $((2 * i + 2))],
     \"shmem_size\": [8192, 256], \"sem_key\": [\"sem${i}_rcv.key\", \"sem${i}_ctl.key\"]}"
done
cat > /usr/local/etc/vellib/dwmid.conf <<JSON
{
  "order_conn": {"server": "localhost", "port": 10001, "conenct_timeout": 1000,
                 "res_wait_timeout": 1000},
  "log": {"log_dir": "/var/local/vellog", "log_file": "dwmid.log",
          "log_max_bytes": 1000000, "log_counts": 5},
  "line": [$lines
  ],
  "shared_indata_num": 2,
  "shared_key_dir": "/var/local/velkey",
  "shared": [$groups
  ],
  "trace": "off",
  "start_wait_interval": 0
}
JSON
cp /usr/local/etc/vellib/dwmid.conf /usr/local/etc/vellib/dwlib.conf

"$build/dwmid" > "$state/dwmid.out" 2>&1 &
daemon=$!
for _ in $(seq 1 200); do
    grep -q "accept end" /var/local/vellog/dwmid.log 2>/dev/null && break
    sleep 0.05
done

echo "=== dwmid serves three simulated lines; the example application on channel 1 ==="
# Machines: mc:ctrl_bit:time_out:delm_type:len_after_delm:wait_time:request(hex)
#   1 scale: ETX (0x03) delimiter and one check byte   2 printer: CR (0x0d) delimiter
#   3 thermometer: ends after silence (delm_type 1)     4 valve: never answers (time-out)
"$build/examples/rs485_example" -c 1 -b 3 -n 3 -s \
    1:3:100:3:1:0:0103000000010000 \
    2:3:100:13:0:0:503F \
    3:3:100:1:0:0:0352 \
    4:3:50:3:1:0:0401 || true

status=0
wait "$daemon" || status=$?
echo "=== the daemon ended after the shut order, exit status $status ==="
echo "=== what the simulator of line 1 saw ==="
grep -E "request|reply" "$state/sim0.log" | head -8
