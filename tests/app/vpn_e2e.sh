#!/usr/bin/env bash
# The VPN panel of the real program on a virtual display, against a NetworkManager of the test's
# own (run under tests/vpn/private_network_manager.sh): a login and a password typed, "Создать"
# pressed, the box closed; then the profile as nmcli and its keyfile show it, both kept
# beside the screenshots. The profile is never activated.
# Usage: private_network_manager.sh bash vpn_e2e.sh <kelvo executable> <directory for the screenshots>
set -euo pipefail
kelvo=$1
shots=$2
mkdir -p "$shots"

source "$(dirname "$0")/e2e_lib.sh"
[ -n "${KELVO_TEST_NM_PROFILES:-}" ] || fail "needs the private NetworkManager of tests/vpn/private_network_manager.sh"

start_display
start_kelvo env XDG_DATA_HOME="$work/data" "$kelvo"
click 320 34  # "Создать Соединение"
expect_size 392x321 "after Создать Соединение"
click 95 172  # login
xdotool type --window "$window" "  Ivan Petrov "
click 282 172  # password
xdotool type --window "$window" "pa ss"
# NetworkManager's client library and GLib's object and I/O libraries come with the writer's
# module, when the entry is written, not with the program.
glib_objects='/lib(nm|gio-2\.0|gobject-2\.0)\.so'
! grep -qE "$glib_objects" "/proc/$kelvo_pid/maps" || fail "mapped before Создать: $(grep -oE "$glib_objects" "/proc/$kelvo_pid/maps" | sort -u)"
click 195 250  # "Создать"

box=$(await_box 10)  # the box carries the program's title too
import -window root "$shots/vpn_created.png"
grep -q '/kelvo-nm\.so$' "/proc/$kelvo_pid/maps" || fail "the NetworkManager module was not loaded"
xdotool windowfocus --sync "$box"
xdotool key Return
# Only "Соединение создано" closes the panel with the box; after a failure it stays open.
expect_size 392x121 "after the box was closed"

nmcli --show-secrets connection show Kelvo >"$shots/nmcli_kelvo.txt"
keyfile="$KELVO_TEST_NM_PROFILES/Kelvo.nmconnection"
cp "$keyfile" "$shots/Kelvo.nmconnection"
[ "$(stat -c %a "$keyfile")" = 600 ] || fail "keyfile mode $(stat -c %a "$keyfile")"
grep -qxF 'user=\s\sIvan Petrov ' "$keyfile" || fail "login not as typed: $(cat "$keyfile")"
grep -qxF 'password=pa ss' "$keyfile" || fail "no password secret: $(cat "$keyfile")"
grep -qxF 'gateway=10.1.0.10' "$keyfile" || fail "no gateway: $(cat "$keyfile")"
[ ! -e "$work/data/kelvo" ] || fail "the file phone book was written as well"
[ "$(nmcli -t -f NAME connection show)" = Kelvo ] || fail "profiles: $(nmcli -t -f NAME connection show)"
echo "VPN panel check passed; nmcli's view and the keyfile in $shots"
