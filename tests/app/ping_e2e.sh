#!/usr/bin/env bash
# The ping panel of the real program on a virtual display, driven as a subscriber would: type a
# host, press "Старт", read the output by selecting and copying it; the loopback run with the
# keyboard alone, the other with the mouse. Only 127.0.0.1 is pinged on this machine's network; a
# host that does not answer exists only in network namespaces made here (as root), and the
# program runs inside one of them. The host is checked before "Старт" is pressed, so the default
# 10.1.0.10 is never pinged. As root the loopback run is made once more as an ordinary user would
# make it: the account nobody without a capability, in a namespace where the kernel's default
# ping_group_range admits no group, so that the echoes go through the helper beside the program.
# Usage: ping_e2e.sh <kelvo executable> <directory for the screenshots>
set -euo pipefail
kelvo=$1
shots=$2
mkdir -p "$shots"

source "$(dirname "$0")/e2e_lib.sh"
source "$(dirname "$0")/../cannot_run.sh"

copy_all() {  # x y: the same for the control there
  click "$1" "$2"
  copy_focused
}

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
loopback_run_by_keyboard "$shots/ping_run.png"
stop_kelvo

[ "$(id -u)" -eq 0 ] || cannot_run "the timed-out host and the ordinary user's run: network namespaces need root"

# Two namespaces joined by a veth pair; the far one ignores echo requests. One more for the
# ordinary user.
near="kelvo-near-$$"
far="kelvo-far-$$"
user_ns="kelvo-user-$$"
remove_namespaces() {
  ip netns del "$near" 2>/dev/null
  ip netns del "$far" 2>/dev/null
  ip netns del "$user_ns" 2>/dev/null
  return 0
}
cleanup_hooks+=(remove_namespaces)

ip netns add "$near" || cannot_run "the timed-out host and the ordinary user's run: no network namespace here"
ip netns add "$far"
ip link add "kvn$$" netns "$near" type veth peer name "kvf$$" netns "$far"
ip -n "$near" addr add 198.51.100.1/24 dev "kvn$$"
ip -n "$far" addr add 198.51.100.2/24 dev "kvf$$"
ip -n "$near" link set "kvn$$" up
ip -n "$far" link set "kvf$$" up
ip -n "$near" link set lo up
ip netns exec "$far" sysctl -qw net.ipv4.icmp_echo_ignore_all=1

start_kelvo ip netns exec "$near" "$kelvo"
click 320 89  # "Пинг"
expect_size 392x312 "after Пинг, in the namespace"
start_ping 198.51.100.2
click 195 241  # the output, which output() reads
text=$(await_output 1 30 '^Пинг невозможен: Request timed out$')
click 344 152  # "Стоп"
import -window root "$shots/ping_timeout.png"
[ "$(sed -n 2p <<<"$text")" = "хост '198.51.100.2' адрес 198.51.100.2" ] || fail "no lookup line in: $text"
grep -qx "Пинг невозможен: Request timed out" <<<"$text" || fail "no time-out line in: $text"
grep -q "Ответ от" <<<"$text" && fail "an answer from a host that ignores echoes: $text"
echo "timed-out host: $(grep -cx 'Пинг невозможен: Request timed out' <<<"$text") time-out lines"
stop_kelvo

# The ordinary user.
helper="$(dirname "$kelvo")/kelvo-echo"
setcap cap_net_raw+ep "$helper"
ip netns add "$user_ns"
ip -n "$user_ns" link set lo up
[ "$(ip netns exec "$user_ns" sysctl -n net.ipv4.ping_group_range)" = "$(printf '1\t0')" ] ||
  fail "the new namespace admits a group to ICMP sockets: not the kernel's default"
home=$(mktemp -d)  # the program's home and runtime folder, nobody's own
remove_home() { rm -rf "$home"; }
cleanup_hooks+=(remove_home)
chown nobody:nogroup "$home"
start_kelvo ip netns exec "$user_ns" setpriv --reuid=nobody --regid=nogroup --clear-groups --inh-caps=-all \
  env HOME="$home" XDG_RUNTIME_DIR="$home" "$kelvo"
[ "$(awk '/^Uid:/ {print $2} /^CapEff:/ {print $2}' "/proc/$kelvo_pid/status" | paste -sd' ')" = \
  "65534 0000000000000000" ] || fail "the program does not run as nobody without capabilities"
loopback_run_by_keyboard "$shots/ping_run_unprivileged.png"
helper_pid=$(pgrep -P "$kelvo_pid" -x kelvo-echo) || fail "no helper beside the program run as nobody"
helper_caps=$(awk '/^CapEff:/ {print $2}' "/proc/$helper_pid/status")
[ "$helper_caps" = 0000000000000000 ] || fail "the helper holds capabilities $helper_caps while it answers"
echo "unprivileged run through the helper (CapEff $helper_caps):"
output | sed 's/^/  /'
echo
stop_kelvo
echo "ping panel checks passed; screenshots in $shots"
