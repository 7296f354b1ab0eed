#!/usr/bin/env bash
# Start-up to the mapped window, resident memory and the shared libraries mapped half a second
# later: the program beside a minimal Qt Widgets window (bench/minimal_window.cpp), both Release
# builds, on a virtual display of their own, alternately, medians of the rounds. Usage: startup_vs_qt.sh [rounds, default 15]
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-15}
build=build/release
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKELVO_WITH_QT=ON -DKELVO_SANITIZE= >/dev/null
cmake --build "$build" -j2 --target kelvo minimal_window map_probe >/dev/null

work=$(mktemp -d)
xvfb=""
trap '[ -n "$xvfb" ] && kill $xvfb 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
# Xvfb picks a free display itself; one that loses the race for it to another server is started again.
for _ in 1 2 3; do
  : >"$work/display"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
  xvfb=$!
  for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
  export DISPLAY=":$(head -n1 "$work/display")"
  sleep 0.2
  xdpyinfo >/dev/null 2>&1 && break
  kill "$xvfb" 2>/dev/null || true
done
xdpyinfo >/dev/null 2>&1 || { echo "no virtual display: $(cat "$work/xvfb.log")" >&2; exit 1; }
export XDG_RUNTIME_DIR="$work" QT_QPA_PLATFORM=xcb

ours_ms=() ours_kb=() qt_ms=() qt_kb=()
probe() { "$build/bench/map_probe" "$@" | awk '{ print $2, $4, $6 }'; }
probe "$build/app/kelvo" >/dev/null  # warm the page cache for both
probe "$build/bench/minimal_window" >/dev/null
for _ in $(seq "$rounds"); do
  read -r ms kb ours_libs < <(probe "$build/app/kelvo")
  ours_ms+=("$ms") ours_kb+=("$kb")
  read -r ms kb qt_libs < <(probe "$build/bench/minimal_window")
  qt_ms+=("$ms") qt_kb+=("$kb")
done

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
m_ours_ms=$(median "${ours_ms[@]}") m_qt_ms=$(median "${qt_ms[@]}")
m_ours_kb=$(median "${ours_kb[@]}") m_qt_kb=$(median "${qt_kb[@]}")
echo "rounds: $rounds, medians"
echo "kelvo            mapped after ${m_ours_ms} ms, resident ${m_ours_kb} kB, ${ours_libs} shared libraries"
echo "minimal Qt window mapped after ${m_qt_ms} ms, resident ${m_qt_kb} kB, ${qt_libs} shared libraries"
awk -v a="$m_ours_ms" -v b="$m_qt_ms" -v c="$m_ours_kb" -v d="$m_qt_kb" \
  'BEGIN { printf "ratio (kelvo / minimal): time %.2f (goal <= 1.1), memory %.2f (goal <= 1.1)\n", a / b, c / d }'
