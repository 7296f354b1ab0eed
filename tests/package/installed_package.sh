#!/usr/bin/env bash
# The Debian package as a subscriber meets it. A fresh Debian 12 (debootstrap, minbase) gets the
# package with `apt-get install --no-install-recommends ./kelvo_….deb` and nothing else (the
# program must work with its dependencies alone); an ordinary account made there starts the menu
# entry's command on a virtual display: the window at its size, a ping run on 127.0.0.1 with its
# reply lines (through the echo helper, in a network namespace of its own, whose ping_group_range
# admits no group). Then `apt-get purge` must leave no file of the package.
# The fresh system is made once and kept as a tar file in the cache folder, beside the packages
# apt downloads into it; each run unpacks it anew.
# Usage: installed_package.sh <kelvo_….deb> <cache folder>   (as root)
set -euo pipefail
skip_status=0  # run by scripts/test.sh, not by CTest
source "$(dirname "$0")/../cannot_run.sh"
[ "$(id -u)" -eq 0 ] || cannot_run "installed package: needs root (debootstrap, chroot)"
deb=$(realpath "$1")
cache=$(realpath -m "$2")
# Every mount made below ends with this process, however it ends.
if [ -z "${KELVO_PRIVATE_MOUNTS:-}" ]; then
  unshare --mount true 2>/dev/null || cannot_run "installed package: no mount namespace here"
  exec env KELVO_PRIVATE_MOUNTS=1 unshare --mount --propagation private bash "$0" "$@"
fi
shots=$cache/screenshots
mkdir -p "$shots"
source "$(dirname "$0")/../app/e2e_lib.sh"
started=$SECONDS

# The system's own mirror, as this machine's apt sources name it.
mirror_of() { apt-get indextargets --format '$(REPO_URI) $(RELEASE)' | awk -v s="$1" '$2 == s {print $1; exit}'; }
pristine=$cache/bookworm-minbase.tar
if [ ! -s "$pristine" ]; then
  mirror=$(mirror_of bookworm)
  mirror=${mirror:-http://deb.debian.org/debian/}
  security=$(mirror_of bookworm-security)
  fresh=$cache/debootstrap
  rm -rf --one-file-system "$fresh"
  debootstrap --variant=minbase bookworm "$fresh" "$mirror" \
    >"$cache/debootstrap.log" 2>&1 || fail "debootstrap: $(tail -n 5 "$cache/debootstrap.log")"
  {
    echo "deb $mirror bookworm main"
    echo "deb $mirror bookworm-updates main"
    [ -z "$security" ] || echo "deb $security bookworm-security main"
  } >"$fresh/etc/apt/sources.list"
  tar -C "$fresh" -cf "$pristine.part" . && mv "$pristine.part" "$pristine"
  rm -rf --one-file-system "$fresh"
  echo "fresh Debian 12 made in $((SECONDS - started)) s"
fi

root=$cache/root
rm -rf --one-file-system "$root"
mkdir -p "$root" "$cache/apt-archives/partial"
tar -C "$root" -xf "$pristine"
mount -t proc proc "$root/proc"
mount --bind "$cache/apt-archives" "$root/var/cache/apt/archives"
# Nothing the packages bring is started in there, and dpkg does not wait for each file to reach the
# disk: the system is thrown away after the test.
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod 0755 "$root/usr/sbin/policy-rc.d"
echo force-unsafe-io >"$root/etc/dpkg/dpkg.cfg.d/unsafe-io"
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive LANG=C.UTF-8 "$@"; }

install -m 0644 "$deb" "$root/tmp/"
in_root apt-get update -qq >"$work/apt.log" 2>&1 || fail "apt-get update: $(tail -n 5 "$work/apt.log")"
in_root apt-get install -y --no-install-recommends "/tmp/${deb##*/}" >>"$work/apt.log" 2>&1 || fail "apt-get install: $(tail -n 20 "$work/apt.log")"
echo "installed with $(in_root dpkg-query -W -f '${Package}\n' | wc -l) packages in the system in $((SECONDS - started)) s"
development=$(in_root dpkg-query -W -f '${Package}\n' | grep -E -- '-dev(:|$)' || true)
[ -z "$development" ] || fail "development packages in the fresh system: $development"

helper=/usr/lib/kelvo/kelvo-echo
mode="$(getcap "$root$helper" | cut -d' ' -f2) $(stat -c %A "$root$helper")"
[[ "$mode" == "cap_net_raw=ep -rwxr-xr-x" || "$mode" == " -rwsr-xr-x" ]] || fail "echo helper $helper: $mode"
echo "echo helper: $mode"

# The menu entry: its command found on the account's PATH, its icon in every size.
entry=$root/usr/share/applications/kelvo.desktop
command=$(sed -n 's/^Exec=//p' "$entry")
icon=$(sed -n 's/^Icon=//p' "$entry")
found=$(in_root sh -c "command -v ${command%% *}") || fail "Exec=$command is not on the PATH"
for size in 16 22 24 32 48 64 128 256; do
  file=$root/usr/share/icons/hicolor/${size}x${size}/apps/$icon.png
  [ "$(identify -format %wx%h "$file" 2>/dev/null)" = "${size}x$size" ] || fail "no ${size}x$size icon $icon"
done
echo "menu entry: Exec=$command is $found, Icon=$icon in 8 sizes"

in_root useradd --create-home subscriber
in_root install -d -m 0700 -o subscriber -g subscriber /tmp/runtime-subscriber
start_display
mkdir -p "$root/tmp/.X11-unix"
mount --bind /tmp/.X11-unix "$root/tmp/.X11-unix"
# The account's own session: its own environment, in a network of its own with loopback alone.
start_kelvo unshare --net sh -c 'ip link set lo up && exec "$@"' session \
  chroot --userspec=subscriber:subscriber "$root" env -i HOME=/home/subscriber USER=subscriber \
  LOGNAME=subscriber PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 DISPLAY="$DISPLAY" \
  XDG_RUNTIME_DIR=/tmp/runtime-subscriber sh -c "exec $command"
[ "$(ps -o uid= -p "$kelvo_pid" | tr -d ' ')" = "$(stat -c %u "$root/home/subscriber")" ] || fail "not running as the account"
expect_size 392x121 "the installed program at start"
import -window root "$shots/installed_start.png"
loopback_run_by_keyboard "$shots/installed_ping.png"
# The helper that answered runs under its system-call filter.
echo_pid=$(pgrep -P "$kelvo_pid" -x kelvo-echo) || fail "no echo helper under the program"
[ "$(awk '$1 == "Seccomp:" {print $2}' "/proc/$echo_pid/status")" = 2 ] || fail "echo helper without its filter"
echo "echo helper: Seccomp 2"
stop_kelvo

in_root dpkg-query -L kelvo >"$work/files"
in_root apt-get purge -y kelvo >>"$work/apt.log" 2>&1 || fail "apt-get purge: $(tail -n 20 "$work/apt.log")"
left=()
while read -r file; do
  [ "$file" != /. ] || continue
  [ -e "$root$file" ] || [ -L "$root$file" ] || continue
  # A folder another package owns too stays.
  [ -d "$root$file" ] && [ ! -L "$root$file" ] && in_root dpkg-query -S "$file" >/dev/null 2>&1 && continue
  left+=("$file")
done <"$work/files"
[ ${#left[@]} -eq 0 ] || fail "left after purge: ${left[*]}"
echo "purged: none of its $(wc -l <"$work/files") paths left"
echo "installed package checks passed in $((SECONDS - started)) s; screenshots in $shots"
