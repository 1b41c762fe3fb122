#!/usr/bin/env bash
# The cost of health and metrics: the idle server (8 simulated panels, one
# client) and the client service (500 clients at the paced event rate), each
# without metrics and with /metrics scraped every second, back to back.
# Prints the CPU seconds per wall second of each pair and their difference.
# Usage: bench/metrics-overhead.sh [SECONDS]   (default 60; run from anywhere)
set -euo pipefail
cd "$(dirname "$0")/.."
S=${1:-60}
B=build
cpu_idle() { grep -o '[0-9.]* CPU s per wall s' | head -1 | cut -d' ' -f1; }
cpu_clients() { grep 'process minus peers' | grep -o '[0-9.]* CPU s per wall s' | cut -d' ' -f1; }
report() {
    awk -v what="$1" -v off="$2" -v on="$3" 'BEGIN {
        d = on - off; p = off > 0 ? 100 * d / off : 0;
        printf "%-40s off %.4f  on %.4f  difference %+.4f CPU s/s (%+.1f %%)\n", what, off, on, d, p }'
}
idle_off=$("$B"/bench_server_idle --seconds "$S" | tee -a /dev/stderr | cpu_idle)
idle_on=$("$B"/bench_server_idle --seconds "$S" --metrics | tee -a /dev/stderr | cpu_idle)
cl_off=$("$B"/bench_clients --clients 500 --seconds "$S" | tee -a /dev/stderr | cpu_clients)
cl_on=$("$B"/bench_clients --clients 500 --seconds "$S" --metrics | tee -a /dev/stderr | cpu_clients)
echo
report "idle server, 8 panels, 1 client" "$idle_off" "$idle_on"
report "500 clients at the paced rate" "$cl_off" "$cl_on"
