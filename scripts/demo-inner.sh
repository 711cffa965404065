#!/bin/bash
# The demo's body, run inside the sandbox by demo.sh.
set -euo pipefail
build=$1
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

sed "s/\"start_wait_interval\": 10000/\"start_wait_interval\": 0/" \
    "$root/packaging/dwmid.conf.example" > /usr/local/etc/vellib/dwmid.conf
"$build/dwmid" > /var/local/sandbox/dwmid.out 2>&1 &
pid=$!
for _ in $(seq 1 100); do
    grep -q "sem_key" /var/local/vellog/dwmid.log 2>/dev/null && break
    sleep 0.1
done
sleep 0.5
echo "=== settings display from /var/local/vellog/dwmid.log ==="
cat /var/local/vellog/dwmid.log
kill -TERM "$pid" 2>/dev/null || true
status=0
wait "$pid" || status=$?
echo "=== dwmid stopped with SIGTERM, exit status $status ==="
