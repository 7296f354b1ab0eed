#!/usr/bin/env bash
# The ping panel of the real program on a virtual display, driven as a subscriber would: type a
# host, press "Старт", read the output by selecting and copying it. Only 127.0.0.1 is pinged on
# this machine's network; a host that does not answer exists only in network namespaces made
# here (as root), and the program runs inside one of them. The host is checked before "Старт"
# is pressed, so the default 10.1.0.10 is never pinged.
# Usage: ping_e2e.sh <kelvo executable> <directory for the screenshots>
set -euo pipefail
kelvo=$1
shots=$2
mkdir -p "$shots"

source "$(dirname "$0")/e2e_lib.sh"

copy_all() {  # x y: selects everything in the control there and prints it
  click "$1" "$2"
  xdotool key --window "$window" ctrl+a ctrl+c
  sleep 0.3
  xclip -o -selection clipboard 2>/dev/null || true
}
output() { copy_all 195 241; }

start_ping() {  # host
  click 104 160
  xdotool key --window "$window" ctrl+a
  xdotool type --window "$window" "$1"
  local typed
  typed=$(copy_all 104 160)
  [ "$typed" = "$1" ] || fail "the host field reads '$typed', not '$1': Старт not pressed"
  click 256 152  # "Старт"
}

start_display
start_kelvo "$kelvo"
click 320 89  # "Пинг"
expect_size 392x312 "after Пинг"

start_ping 127.0.0.1
check_loopback_run 127.0.0.1 "$shots/ping_run.png"
stop_kelvo

if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP timed-out host: needs root for network namespaces"
  exit 0
fi

# Two namespaces joined by a veth pair; the far one ignores echo requests.
near="kelvo-near-$$"
far="kelvo-far-$$"
remove_namespaces() {
  ip netns del "$near" 2>/dev/null
  ip netns del "$far" 2>/dev/null
  return 0
}
cleanup_hooks+=(remove_namespaces)
ip netns add "$near"
ip netns add "$far"
ip link add "kvn$$" netns "$near" type veth peer name "kvf$$" netns "$far"
ip -n "$near" addr add 192.0.2.1/24 dev "kvn$$"
ip -n "$far" addr add 192.0.2.2/24 dev "kvf$$"
ip -n "$near" link set "kvn$$" up
ip -n "$far" link set "kvf$$" up
ip -n "$near" link set lo up
ip netns exec "$far" sysctl -qw net.ipv4.icmp_echo_ignore_all=1

start_kelvo ip netns exec "$near" "$kelvo"
click 320 89  # "Пинг"
expect_size 392x312 "after Пинг, in the namespace"
start_ping 192.0.2.2
sleep 3.6
text=$(output)
click 344 152  # "Стоп"
import -window root "$shots/ping_timeout.png"
[ "$(sed -n 2p <<<"$text")" = "хост '192.0.2.2' адрес 192.0.2.2" ] || fail "no lookup line in: $text"
grep -qx "Пинг невозможен: Request timed out" <<<"$text" || fail "no time-out line in: $text"
grep -q "Ответ от" <<<"$text" && fail "an answer from a host that ignores echoes: $text"
echo "timed-out host: $(grep -cx 'Пинг невозможен: Request timed out' <<<"$text") time-out lines"
echo "ping panel checks passed; screenshots in $shots"
