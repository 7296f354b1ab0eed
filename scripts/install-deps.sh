#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build, run and test Kelvo. Needs root (or sudo).
# With --windows: what the Windows program and its tests need instead.
set -euo pipefail

linux=(
  build-essential cmake pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev qt6-gtk-platformtheme
  libgtest-dev libgmock-dev
  fonts-dejavu-core fonts-dejavu-extra xdg-utils
  # for the tests: a real window on a virtual display, driving it, namespaces, the system ping
  xvfb xauth x11-utils xdotool xclip imagemagick iproute2 iputils-ping procps
)
windows=(
  cmake
  # mingw-w64 with posix threads (for std::thread), both architectures; GoogleTest's sources
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix googletest
  # the 64-bit Wine only: with wine32 the launcher takes the 32-bit loader for every program,
  # and this machine runs no 32-bit programs
  wine wine64
  # the resources (ImageMagick); the tests' virtual display, driving it, reading the output back
  imagemagick xvfb xauth x11-utils xdotool xclip fonts-dejavu-extra
)
packages=("${linux[@]}")
[ "${1:-}" = --windows ] && packages=("${windows[@]}")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update
$sudo apt-get install -y --no-install-recommends "${missing[@]}"
