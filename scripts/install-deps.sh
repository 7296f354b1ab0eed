#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build, run and test Kelvo. Needs root (or sudo).
# With --windows: what the Windows program and its tests need instead.
set -euo pipefail

linux=(
  build-essential cmake pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev qt6-gtk-platformtheme
  libgtest-dev libgmock-dev
  # the VPN entry as a NetworkManager profile; for its tests a daemon of their own, with the PPTP
  # service and a private system bus (never started here: see the install below)
  libnm-dev network-manager network-manager-pptp dbus-daemon
  # the echo helper's system-call filter
  libseccomp-dev
  fonts-dejavu-core fonts-dejavu-extra xdg-utils
  # for the tests: a real window on a virtual display, driving it, namespaces, the system ping
  xvfb xauth x11-utils xdotool xclip imagemagick iproute2 iputils-ping procps
  # the window as a screen reader reads it: the accessibility bus and its Python client
  at-spi2-core python3-pyatspi
  # setcap: the echo helper's capability (scripts/run.sh and the tests); setpriv (util-linux):
  # the tests' unprivileged runs
  libcap2-bin util-linux
  # for the phone book's tests: a file system that ignores modes, in user space
  bindfs
  # for scripts/fuzz.sh: clang's libFuzzer with its sanitizers; the start-up benchmark's probe
  clang-14 libclang-rt-14-dev libxcb1-dev
  # for scripts/package.sh: the Debian package, its checks, and the fresh system its test installs
  # it into
  debhelper lintian appstream debootstrap
  # for scripts/dial-test.sh: the sealed virtual machine (its root file system by debootstrap too)
  qemu-system-x86
)
windows=(
  cmake
  # mingw-w64 with posix threads (for std::thread), both architectures; GoogleTest's sources
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix googletest
  # Wine; its 32-bit part (wine32:i386) beside it only where 32-bit programs run, added below
  wine wine64
  # the resources (ImageMagick); the tests' virtual display, driving it, reading the output back
  imagemagick xvfb xauth x11-utils xdotool xclip fonts-dejavu-extra
)
packages=("${linux[@]}")
if [ "${1:-}" = --windows ]; then
  packages=("${windows[@]}")
  # The x86 program then runs under Wine too, in a 64-bit prefix as on a 64-bit Windows.
  "$(dirname "$0")/runs-32-bit-programs.sh" && packages+=(wine32:i386)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
if [[ " ${missing[*]} " == *" wine32:i386 "* ]]; then $sudo dpkg --add-architecture i386; fi
$sudo apt-get update

# Debian starts a service when its package is installed; NetworkManager would then take over this
# machine's networking (the tests start their own, inside namespaces of their own). For the length
# of the install a policy-rc.d that answers 101 ("action forbidden") stops invoke-rc.d and
# deb-systemd-invoke from starting anything; afterwards it is removed and one that was there
# before is put back. A NetworkManager that was not installed before is not enabled for the next
# boot either.
policy=/usr/sbin/policy-rc.d
saved=""
if [ -e "$policy" ]; then
  saved=$(mktemp)
  $sudo cp -p "$policy" "$saved"
fi
restore_policy() {
  if [ -n "$saved" ]; then $sudo cp -p "$saved" "$policy" && $sudo rm -f "$saved"; else $sudo rm -f "$policy"; fi
}
trap restore_policy EXIT
printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
$sudo chmod 0755 "$policy"
$sudo apt-get install -y --no-install-recommends "${missing[@]}"
if [[ " ${missing[*]} " == *" network-manager "* ]] && command -v systemctl >/dev/null; then
  $sudo systemctl disable NetworkManager.service NetworkManager-wait-online.service 2>/dev/null || true
fi
