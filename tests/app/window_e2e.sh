#!/usr/bin/env bash
# The real program in a real window on a virtual display: it starts at the header-only size,
# centred, and the panel switches resize it. Never presses "Старт": nothing is pinged.
# Usage: window_e2e.sh <kelvo executable> <directory for the screenshots>
set -euo pipefail
kelvo=$1
shots=$2
mkdir -p "$shots"

source "$(dirname "$0")/e2e_lib.sh"

start_display
start_kelvo "$kelvo"

expect_size 392x121 "at start"
read -r x y < <(xwininfo -id "$window" | awk '/Absolute upper-left X:/ {x=$4} /Absolute upper-left Y:/ {y=$4} END {print x, y}')
[ $((x - 316)) -ge -1 ] && [ $((x - 316)) -le 1 ] && [ $((y - 323)) -ge -1 ] && [ $((y - 323)) -le 1 ] ||
  fail "window at $x,$y, not centred on the 1024x768 screen"
import -window root "$shots/header.png"
# Of Qt's image format plugins only the logo's reader is loaded: asked to guess a format, Qt loads
# every one of them, some 2 ms of every start.
plugins=$(grep -oE 'imageformats/[^/]+\.so' "/proc/$kelvo_pid/maps" | sort -u | tr '\n' ' ')
[ "$plugins" = "imageformats/libqgif.so " ] || fail "image format plugins mapped at start: $plugins"

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
