#!/usr/bin/env bash
# Cost of one echo to 127.0.0.1: our engine (bench/echo_bench) beside the system ping sending the
# same count with the shortest interval it allows, five rounds each, medians. Twice: as the caller
# (root, or rights to ICMP sockets; 10 000 echoes), and, as root, through the echo helper as an
# ordinary user meets it: the account nobody without capabilities in a namespace of its own with
# the kernel's default ping_group_range, beside the system's ping as the same user (1000 echoes;
# both are held to one echo per 2 ms there). Loopback only.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=5
build=build/bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKELVO_WITH_QT=OFF >/dev/null
cmake --build "$build" -j2 --target echo_bench kelvo-echo >/dev/null

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# measure LABEL COUNT INTERVAL [RUNNER...]: both tools through RUNNER, the medians and the ratio.
measure() {
  local label=$1 count=$2 interval=$3
  shift 3
  local ours=() ours_median=() theirs=() answered mean per_echo start end
  for _ in $(seq "$rounds"); do
    read -r _ _ _ answered _ _ _ mean _ per_echo < <("$@" "$build/bench/echo_bench" "$count")
    [ "$answered" -eq "$count" ] || echo "warning: only $answered of $count answered" >&2
    ours+=("$mean") ours_median+=("$per_echo")
    start=$(date +%s%N)
    "$@" ping -c "$count" -i "$interval" -q 127.0.0.1 >/dev/null
    end=$(date +%s%N)
    theirs+=("$(awk -v d=$((end - start)) -v n="$count" 'BEGIN { printf "%.2f", d / n / 1000 }')")
  done
  local m_ours m_theirs
  m_ours=$(median "${ours[@]}")
  m_theirs=$(median "${theirs[@]}")
  echo "$label: $count echoes per round, $rounds rounds, system ping interval $interval s"
  echo "  TICMP::Ping   mean per echo ${m_ours} us (rounds: ${ours[*]}), median per echo $(median "${ours_median[@]}") us"
  echo "  system ping   mean per echo ${m_theirs} us (rounds: ${theirs[*]}), process start included"
  awk -v a="$m_ours" -v b="$m_theirs" -v l="$label" 'BEGIN { printf "  ratio %s (ours / system ping): %.2f\n", l, a / b }'
}

interval=0
ping -c 1 -i 0 -q 127.0.0.1 >/dev/null 2>&1 || interval=0.002  # unprivileged users get 2 ms at least
measure "as $(id -un)" 10000 "$interval"

if [ "$(id -u)" -ne 0 ]; then
  echo "helper path: skipped, needs root for its namespace and the helper's capability"
  exit 0
fi
setcap cap_net_raw+ep "$build/app/kelvo-echo"
ns="kelvo-bench-$$"
ip netns add "$ns"
trap 'ip netns del "$ns"' EXIT
ip -n "$ns" link set lo up
measure "through the helper, as nobody" 1000 0.002 \
  ip netns exec "$ns" setpriv --reuid=nobody --regid=nogroup --clear-groups --inh-caps=-all
