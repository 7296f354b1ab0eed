#!/usr/bin/env bash
# Installs what is missing, builds Kelvo and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DKELVO_WITH_QT=ON -DKELVO_SANITIZE= >/dev/null
cmake --build build/release -j"$(nproc)" --target kelvo
exec build/release/app/kelvo "$@"
