#!/usr/bin/env bash
# Installs what is missing, builds Kelvo and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DKELVO_WITH_QT=ON -DKELVO_SANITIZE= >/dev/null
cmake --build build/release -j"$(nproc)" --target kelvo
# The echo helper beside it holds the one privilege the program needs, as the system's ping does:
# a user whom no ICMP socket is open to pings through it.
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo setcap cap_net_raw+ep build/release/app/kelvo-echo ||
  echo "warning: no capability for build/release/app/kelvo-echo; pinging may need root" >&2
exec build/release/app/kelvo "$@"
