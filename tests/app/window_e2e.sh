#!/usr/bin/env bash
# The real program in a real window on a virtual display: it starts at the header-only size,
# centred, and the panel switches resize it. Never presses "Старт": nothing is pinged.
# Usage: window_e2e.sh <kelvo executable> <directory for the screenshots>
set -euo pipefail
kelvo=$1
shots=$2
mkdir -p "$shots"

xvfb_pid=""
kelvo_pid=""
work=$(mktemp -d)
cleanup() {
  [ -n "$kelvo_pid" ] && kill "$kelvo_pid" 2>/dev/null && wait "$kelvo_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  [ -n "${DISPLAY:-}" ] && import -window root "$shots/failure.png" 2>/dev/null || true
  exit 1
}

# Xvfb picks a free display itself and writes its number once it accepts connections.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do
  [ -s "$work/display" ] && break
  kill -0 "$xvfb_pid" 2>/dev/null || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
  sleep 0.1
done
[ -s "$work/display" ] || fail "Xvfb gave no display number"
export DISPLAY=":$(head -n1 "$work/display")"

XDG_RUNTIME_DIR="$work" "$kelvo" >"$work/kelvo.log" 2>&1 &
kelvo_pid=$!

window=""
for _ in $(seq 200); do
  window=$(xdotool search --onlyvisible --pid "$kelvo_pid" --name '^Kelvo$' 2>/dev/null | head -n1 || true)
  [ -n "$window" ] && break
  kill -0 "$kelvo_pid" 2>/dev/null || fail "kelvo ended: $(cat "$work/kelvo.log")"
  sleep 0.1
done
[ -n "$window" ] || fail "no window titled Kelvo within 20 s"

# Without a window manager the X window is the client area.
geometry() { xwininfo -id "$window" | awk '/Width:/ {w=$2} /Height:/ {h=$2} END {print w "x" h}'; }
expect_size() {
  local got=""
  for _ in $(seq 50); do
    got=$(geometry)
    [ "$got" = "$1" ] && return 0
    sleep 0.1
  done
  fail "client area $got, expected $1 ($2)"
}
click() { xdotool mousemove --window "$window" "$1" "$2" click 1; }

expect_size 392x121 "at start"
read -r x y < <(xwininfo -id "$window" | awk '/Absolute upper-left X:/ {x=$4} /Absolute upper-left Y:/ {y=$4} END {print x, y}')
[ $((x - 316)) -ge -1 ] && [ $((x - 316)) -le 1 ] && [ $((y - 323)) -ge -1 ] && [ $((y - 323)) -le 1 ] ||
  fail "window at $x,$y, not centred on the 1024x768 screen"
import -window root "$shots/header.png"

click 320 89  # "Пинг"
expect_size 392x312 "after Пинг"
import -window root "$shots/ping.png"

click 320 34  # "Создать Соединение"
expect_size 392x321 "after Создать Соединение"
import -window root "$shots/vpn.png"

click 320 34
expect_size 392x121 "after Создать Соединение again"

kill -0 "$kelvo_pid" || fail "kelvo ended: $(cat "$work/kelvo.log")"
echo "window checks passed; screenshots in $shots"
