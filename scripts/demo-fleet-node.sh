#!/bin/bash
# One simulated controller of the fleet demo, in its own sandbox: a line answered by rs485sim,
# dwmid serving it on order port 10000+N, and rs485mqtt publishing it as node ctlN for
# SECONDS seconds. Usage: demo-fleet-node.sh BUILD N BROKER_PORT SECONDS
set -euo pipefail
build=$1
n=$2
broker_port=$3
seconds=$4
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
state=/var/local/sandbox

"$build/tools/rs485sim/rs485sim" --link "$state/tty0" --baud 3 \
    --config "$root/examples/demo-machines.json" --log "$state/sim.log" &
for _ in $(seq 1 100); do [[ -e "$state/tty0" ]] && break; sleep 0.05; done

cat > /usr/local/etc/vellib/dwmid.conf <<JSON
{
  "order_conn": {"server": "localhost", "port": $((10000 + n)), "conenct_timeout": 1000,
                 "res_wait_timeout": 1000},
  "log": {"log_dir": "/var/local/vellog", "log_file": "dwmid.log",
          "log_max_bytes": 1000000, "log_counts": 5},
  "line": [{"device": "$state/tty0", "de_line": "none", "baudrate": 3, "max_machine": 15}],
  "shared_indata_num": 2,
  "shared_key_dir": "/var/local/velkey",
  "shared": [{"ipc_key": ["shm0_rcv.key", "shm0_ctl.key"], "sh_id": [1, 2],
              "shmem_size": [8192, 256], "sem_key": ["sem0_rcv.key", "sem0_ctl.key"]}],
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

cat > /usr/local/etc/vellib/rs485mqtt.conf <<JSON
{
  "broker": {"host": "127.0.0.1", "port": $broker_port},
  "node": "ctl$n", "topic_prefix": "fleet", "statistics_interval": 2,
  "channels": [{"channel": 1, "baud_index": 3, "cycle_period_ms": 500, "machines": [
    {"machine": 1, "delimiter": "etx", "trailing": 1, "request_hex": "01 03 00 00 00 01 00 00"},
    {"machine": 2, "delimiter": "cr", "request_text": "P?"},
    {"machine": 3, "delimiter": "none", "request_hex": "03 52"}]}]
}
JSON
"$build/tools/rs485mqtt/rs485mqtt" 2> "$state/rs485mqtt.log" &
bridge=$!
sleep "$seconds"
kill -TERM "$bridge"
wait "$bridge"
kill -TERM "$daemon"
wait "$daemon" || true
