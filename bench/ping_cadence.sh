#!/usr/bin/env bash
# Cadence of a ping run against loopback: the time between successive reply lines of the ping
# panel (Qt's timer, Ping1, the echo service) beside the system's `ping -i 1` over the same count.
# Figures: mean interval and worst deviation from 1000 ms, and the drift over the whole run.
# Usage: ping_cadence.sh <ping_cadence executable> [replies, default 30]
set -euo pipefail
bench=$1
count=${2:-30}

summary() {  # label; intervals in ms on stdin
  awk -v label="$1" '
    { n++; sum += $1; d = $1 - 1000; if (d < 0) d = -d; if (d > worst) worst = d }
    END { printf "%-12s %2d intervals  mean %8.3f ms  worst deviation %7.3f ms  drift %+8.3f ms\n",
                 label, n, sum / n, worst, sum - 1000 * n }'
}

"$bench" "$count" | summary "ping panel"
# -D stamps every reply with the wall clock; only loopback is pinged.
ping -D -n -i 1 -c "$count" 127.0.0.1 |
  sed -n 's/^\[\([0-9.]*\)\].*icmp_seq=.*/\1/p' |
  awk 'NR > 1 { printf "%.3f\n", ($1 - last) * 1000 } { last = $1 }' | summary "system ping"
