#!/usr/bin/env bash
# Runs a command beside a NetworkManager of its own, never the machine's: a network namespace and a
# mount namespace of their own, tmpfs over /run and /var/lib/NetworkManager, a private system bus
# (DBUS_SYSTEM_BUS_ADDRESS points the command at it), and a daemon that keeps its profiles as
# keyfiles in a folder of the test's own, manages no device, makes no default connection and asks
# no polkit. Needs root and the daemon's tools; without them the command is not run (see cannot_run).
#
# Usage: private_network_manager.sh COMMAND [ARG...]
# The command sees KELVO_TEST_NM_CONFIG (the daemon's configuration, to start it again),
# KELVO_TEST_NM_PROFILES (the keyfile folder) and KELVO_TEST_NM_PID (the running daemon).
set -euo pipefail

if [ "${1:-}" != "--inside" ]; then
  source "$(dirname "$0")/../cannot_run.sh"
  [ "$(id -u)" -eq 0 ] || cannot_run "a private NetworkManager needs root (network and mount namespaces)"
  for tool in ip unshare dbus-daemon NetworkManager nmcli; do
    command -v "$tool" >/dev/null || cannot_run "a private NetworkManager needs $tool"
  done
  netns="kelvo-nm-$$"
  ip netns add "$netns" || cannot_run "a private NetworkManager needs a network namespace"
  # Whatever still runs in the namespace (a daemon a test started again) ends with it.
  trap 'ip netns pids "$netns" | xargs -r kill; ip netns delete "$netns"' EXIT
  # Inside the namespaces nothing but loopback exists, and loopback stays down: the daemon has
  # nothing it could send through.
  ip netns exec "$netns" unshare --mount --propagation private bash "$0" --inside "$@"
  exit $?
fi
shift

mount -t tmpfs -o mode=0755 tmpfs /run
mkdir -p /var/lib/NetworkManager
mount -t tmpfs -o mode=0700 tmpfs /var/lib/NetworkManager
home=$(mktemp -d /run/kelvo-nm.XXXXXX)
mkdir -m 0700 "$home/profiles"

cat >"$home/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$home/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
CONF

cat >"$home/NetworkManager.conf" <<CONF
[main]
plugins=keyfile
auth-polkit=false
no-auto-default=*
dns=none
rc-manager=unmanaged
hostname-mode=none
[keyfile]
path=$home/profiles
unmanaged-devices=*
[logging]
level=WARN
CONF

dbus-daemon --config-file="$home/bus.conf" --nofork --nopidfile 2>"$home/bus.log" &
bus_pid=$!
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$home/bus"
export KELVO_TEST_NM_CONFIG="$home/NetworkManager.conf"
export KELVO_TEST_NM_PROFILES="$home/profiles"
# The account's runtime folder, as a desktop session has it (the writers' lock lives there).
export XDG_RUNTIME_DIR="$home/runtime"
mkdir -m 0700 "$XDG_RUNTIME_DIR"
for _ in $(seq 50); do [ -S "$home/bus" ] && break; sleep 0.1; done

NetworkManager --no-daemon --config="$KELVO_TEST_NM_CONFIG" >"$home/daemon.log" 2>&1 &
export KELVO_TEST_NM_PID=$!
stop() {
  kill "$KELVO_TEST_NM_PID" 2>/dev/null && wait "$KELVO_TEST_NM_PID" 2>/dev/null
  kill "$bus_pid" 2>/dev/null && wait "$bus_pid" 2>/dev/null
  true
}
trap stop EXIT
for _ in $(seq 100); do
  nmcli -t -f RUNNING general 2>/dev/null | grep -q running && break
  kill -0 "$KELVO_TEST_NM_PID" 2>/dev/null || { cat "$home/daemon.log"; exit 1; }
  sleep 0.1
done
nmcli -t -f RUNNING general | grep -q running || { echo "NetworkManager did not answer"; exit 1; }
"$@"
