#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build, run and test Kelvo. Needs root (or sudo).
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev qt6-gtk-platformtheme
  libgtest-dev libgmock-dev
  fonts-dejavu-core fonts-dejavu-extra xdg-utils
  # for the tests: a real window on a virtual display, driving it, namespaces, the system ping
  xvfb xauth x11-utils xdotool xclip imagemagick iproute2 iputils-ping procps
  # for scripts/fuzz.sh: clang's libFuzzer with its sanitizers; the start-up benchmark's probe
  clang-14 libclang-rt-14-dev libxcb1-dev
)

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
