#!/usr/bin/env bash
# Cost of one echo to 127.0.0.1: our engine (bench/echo_bench, 10 000 calls) beside the system
# ping sending the same count with the shortest interval it allows, five rounds each, medians.
# Loopback only. Needs root, or rights to ICMP sockets, for both tools.
set -euo pipefail
cd "$(dirname "$0")/.."
count=10000
rounds=5
build=build/bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKELVO_WITH_QT=OFF >/dev/null
cmake --build "$build" -j2 --target echo_bench >/dev/null

interval=0
ping -c 1 -i 0 -q 127.0.0.1 >/dev/null 2>&1 || interval=0.002  # unprivileged users get 2 ms at least

ours_mean=() ours_median=() theirs_mean=()
for _ in $(seq "$rounds"); do
  read -r _ _ _ answered _ _ _ mean _ median < <("$build/bench/echo_bench" "$count")
  [ "$answered" -eq "$count" ] || echo "warning: only $answered of $count answered" >&2
  ours_mean+=("$mean") ours_median+=("$median")
  start=$(date +%s%N)
  ping -c "$count" -i "$interval" -q 127.0.0.1 >/dev/null
  end=$(date +%s%N)
  theirs_mean+=("$(awk -v d=$((end - start)) -v n="$count" 'BEGIN { printf "%.2f", d / n / 1000 }')")
done

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
m_ours=$(median "${ours_mean[@]}")
m_ours_median=$(median "${ours_median[@]}")
m_theirs=$(median "${theirs_mean[@]}")
echo "echoes per round: $count, rounds: $rounds, system ping interval: $interval s"
echo "TICMP::Ping   mean per echo ${m_ours} us (rounds: ${ours_mean[*]}), median per echo ${m_ours_median} us"
echo "system ping   mean per echo ${m_theirs} us (rounds: ${theirs_mean[*]}), process start included"
awk -v a="$m_ours" -v b="$m_theirs" 'BEGIN { printf "ratio (ours / system ping): %.2f\n", a / b }'
