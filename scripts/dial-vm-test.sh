#!/usr/bin/env bash
# Runs inside the dial test's sealed virtual machine (see dial-test.sh), as root from systemd, with
# the host's shared folder at /mnt/host: the program, tests/app/e2e_lib.sh, this script and out/
# for the results. A PPTP server in a network namespace of its own holds 10.1.0.10 on a veth pair
# towards NetworkManager's side. NetworkManager asks polkit by its shipped rules: the desktop
# account from a session of its own with no seat is refused the entry; logged in on the first
# console (an active local session) it creates the entry through the program's window and dials it
# with nmcli; then the server's password changes and the same profile must fail to connect.
# With --session it is that login's shell, running the test's requests inside the session; with
# --create or --refused the desktop account's part: the window on a virtual display.
set -euo pipefail
host=/mnt/host
out=$host/out
login='Ivan Petrov, jr.'
password='s3cret pa$$word!#'
requests=/run/dial-session  # the desktop account's, for --session
seconds_since() { echo "$(date +%s.%N) $1" | awk '{printf "%.1f", $1 - $2}'; }

if [ "${1:-}" = --session ]; then
  for _ in $(seq 6000); do  # the machine powers off within the test's time anyway
    if [ -e "$requests/request" ]; then
      command=$(cat "$requests/request")
      rm -f "$requests/request"  # the test's file, in the account's folder
      status=0
      bash -c "$command" >"$requests/output" 2>&1 || status=$?
      echo "$status" >"$requests/status.new"
      mv "$requests/status.new" "$requests/status"
    fi
    sleep 0.1
  done
  exit 0
fi

if [ "${1:-}" = --create ] || [ "${1:-}" = --refused ]; then
  shots=/tmp
  source "$host/e2e_lib.sh"
  start_display
  start_kelvo "$host/kelvo"
  # By keyboard, as a subscriber would: the focus starts on "Создать Соединение"; past "Пинг" lie
  # the login and the password, where Enter presses "Создать".
  keys space
  expect_size 392x321 "after Создать Соединение"
  keys Tab Tab
  xdotool type --window "$window" "$login"
  keys Tab
  xdotool type --window "$window" "$password"
  pressed=$(date +%s.%N)
  keys Return
  # The refused press gives up within its 5 s (the NetworkManager suite holds it to that); the
  # emulated machine gets room for its keystrokes and the box's drawing on top.
  box=$(await_box 30)
  echo "box $(seconds_since "$pressed") s after Создать"
  # Emulated, the box may take a while to take its key: Enter again while it stays.
  for _ in $(seq 20); do
    xdotool windowfocus --sync "$box" key Return 2>/dev/null || true
    sleep 1
    boxes | grep -qx "$box" || break
  done
  # Only "Соединение создано" closes the panel with the box; "Не удалось создать соединения"
  # leaves it open.
  if [ "$1" = --create ]; then
    expect_size 392x121 "after the box was closed"
  else
    expect_size 392x321 "after the box was closed"
  fi
  exit 0
fi

say() { echo "dial-test: $*" | tee -a "$out/log"; }
fail() {
  say "FAIL: $*"
  cp /run/server/*.log "$out/" 2>/dev/null || true
  echo 1 >"$out/status"
  exit 1
}
# The desktop account from the system's side: a session of its own with no seat, not local.
as_desktop() { su desktop -c "$1"; }
# The desktop account logged in on the first console: its login shell runs the command inside
# that session and leaves the output in $requests/output.
in_session() {
  rm -f "$requests/status"
  echo "$1" >"$requests/request.new"
  mv "$requests/request.new" "$requests/request"
  for _ in $(seq 1800); do
    [ -e "$requests/status" ] && return "$(cat "$requests/status")"
    sleep 0.1
  done
  fail "the desktop session did not answer: $1; sessions: $(loginctl list-sessions --no-legend | paste -sd';'); $(ps -u desktop -o tty=,args= | paste -sd';')"
}
install -d -o desktop -m 0700 "$requests"
say "boot: $(cut -d' ' -f1 /proc/uptime) s from the kernel's start to the test"

# The server: 10.1.0.10 in a namespace of its own, pptpd with MS-CHAPv2 only and MPPE not
# required, one account. Its chap-secrets is bound over /etc/ppp/chap-secrets in its own mount
# namespace (ip netns exec makes one), so the client side never reads it.
srv=/run/server
mkdir -p "$srv"
ip netns add server
ip link add kelvo-lan type veth peer name server0 netns server
ip -n server link set lo up
ip -n server addr add 10.1.0.10/24 dev server0
ip -n server link set server0 up
cat >"$srv/pptpd.conf" <<EOF
option $srv/options
localip 198.51.100.1
remoteip 198.51.100.2-9
EOF
cat >"$srv/options" <<EOF
name kelvo-server
refuse-pap
refuse-chap
refuse-mschap
require-mschap-v2
nodefaultroute
logfile $srv/ppp.log
debug
EOF
secrets() { (umask 077; printf '"%s" * "%s" *\n' "$login" "$1" >"$srv/chap-secrets"); }
secrets "$password"
touch "$srv/ppp.log"
ip netns exec server sh -c "mount --bind $srv/chap-secrets /etc/ppp/chap-secrets && exec pptpd --fg --conf $srv/pptpd.conf" \
  >"$srv/pptpd.log" 2>&1 &

# The client side: NetworkManager's own network towards the server, so that the VPN has a
# connection to start from.
modprobe ppp_generic
for _ in $(seq 50); do nmcli -t -f DEVICE device | grep -qx kelvo-lan && break; sleep 0.2; done
nmcli device set kelvo-lan managed yes
nmcli connection add type ethernet ifname kelvo-lan con-name lan ipv4.method manual \
  ipv4.addresses 10.1.0.2/24 ipv4.gateway 10.1.0.10 ipv6.method disabled >/dev/null
nmcli --wait 30 connection up lan >/dev/null || fail "the network towards the server did not come up"

conf_dirs="/etc/NetworkManager /usr/lib/NetworkManager /run/NetworkManager"
! grep -rs auth-polkit $conf_dirs || fail "auth-polkit set in NetworkManager's configuration"
say "no auth-polkit setting in $conf_dirs"
# Running already, as on a desktop after the login, rather than started by the first question.
systemctl start polkit.service
session='loginctl show-session "$XDG_SESSION_ID" -p Active -p Remote -p Seat -p Type -p TTY | paste -sd" "'

as_desktop "$session" >"$out/seatless.txt" || fail "no seatless session: $(cat "$out/seatless.txt")"
say "session without a seat: $(cat "$out/seatless.txt")"
as_desktop "bash $host/dial-vm-test.sh --refused" >"$out/refused.txt" 2>"$out/refused.log" \
  || fail "not refused as it must: $(cat "$out/refused.txt" "$out/refused.log")"
! nmcli -t -f NAME connection show | grep -qx Kelvo || fail "a profile Kelvo after the refusal"
say "refused there: $(cat "$out/refused.txt"), the panel still open, no profile Kelvo"
journalctl -b -u NetworkManager -o cat | grep -m1 'op="connection-add".*result="fail"' >"$out/refused-nm.txt" \
  || fail "NetworkManager logged no refused addition"
say "NetworkManager: $(cat "$out/refused-nm.txt")"

in_session "$session" || fail "no desktop session: $(cat "$requests/output")"
say "desktop session: $(cat "$requests/output")"
for property in Active=yes Remote=no Seat=seat0; do
  grep -qw "$property" "$requests/output" || fail "the desktop session is not active and local"
done

start=$(date +%s.%N)
in_session "bash $host/dial-vm-test.sh --create" || fail "the window did not create the entry: $(cat "$requests/output")"
say "creation: $(seconds_since "$start") s from the program's start to the box closed ($(grep -m1 '^box ' "$requests/output"))"
nmcli --show-secrets connection show Kelvo >"$out/profile.txt"

start=$(date +%s.%N)
in_session "nmcli --wait 60 connection up Kelvo" || fail "the profile did not dial: $(cat "$requests/output")"
say "dial: $(seconds_since "$start") s for nmcli connection up Kelvo"
ip -4 addr show ppp0 >"$out/ppp0.txt" || fail "no ppp0"
say "ppp0: $(grep -o 'inet .*' "$out/ppp0.txt")"
ping -c 3 -W 2 -I ppp0 198.51.100.1 >"$out/ping.txt" || fail "no answer through the tunnel: $(cat "$out/ping.txt")"
say "ping through the tunnel: $(grep -m1 'bytes from' "$out/ping.txt"); $(grep 'packet loss' "$out/ping.txt")"
grep -m1 'auth chap MS-v2' "$srv/ppp.log" >"$out/server-login.txt" || fail "MS-CHAPv2 was not negotiated"
grep -F "$login" "$srv/ppp.log" >>"$out/server-login.txt" || fail "no login in the server's log"
grep -iE 'succeeded|access granted' "$srv/ppp.log" >>"$out/server-login.txt" || fail "no successful login in the server's log"
while read -r line; do say "server's log: $line"; done <"$out/server-login.txt"
in_session "nmcli connection down Kelvo" || fail "nmcli connection down failed: $(cat "$requests/output")"
for _ in $(seq 50); do ip link show ppp0 >/dev/null 2>&1 || break; sleep 0.2; done
! ip link show ppp0 >/dev/null 2>&1 || fail "ppp0 still there after the connection went down"
say "connection down, ppp0 gone"

secrets "another password"
seen=$(wc -l <"$srv/ppp.log")
if in_session "nmcli --wait 60 connection up Kelvo"; then
  fail "dialed although the server's password changed"
fi
cp "$requests/output" "$out/wrong.txt"
say "server's password changed: the dial failed as it must: $(grep -m1 '^Error' "$out/wrong.txt")"
tail -n +$((seen + 1)) "$srv/ppp.log" | grep -iE 'fail' >"$out/server-refusal.txt" || fail "no refusal in the server's log"
say "server's log: $(head -n1 "$out/server-refusal.txt")"
cp "$srv/ppp.log" "$out/server-ppp.log"
echo 0 >"$out/status"
say "passed"
