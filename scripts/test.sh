#!/usr/bin/env bash
# Installs what is missing, builds and runs every test: once with AddressSanitizer and
# UndefinedBehaviorSanitizer (the whole suite, the real window included), once with
# ThreadSanitizer (the suites that use threads), then the Windows program: both architectures
# built, the suites and the program run under Wine for x64, and for x86 where the machine runs
# 32-bit programs. Exits non-zero when any test fails.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DKELVO_SANITIZE=address,undefined -DKELVO_WITH_QT=ON >/dev/null
cmake --build build/asan -j"$jobs"
ctest --test-dir build/asan --output-on-failure -j"$jobs" --timeout 300

cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=Debug -DKELVO_SANITIZE=thread -DKELVO_WITH_QT=OFF >/dev/null
cmake --build build/tsan -j"$jobs"
ctest --test-dir build/tsan --output-on-failure -j"$jobs" --timeout 300 -L threaded

scripts/build-windows.sh --test

# What a subscriber installs: the packages built and checked, the Debian one tried on a fresh system.
scripts/package.sh
tests/package/installed_package.sh build/package/kelvo_*.deb build/package-root
