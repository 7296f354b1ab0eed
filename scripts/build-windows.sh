#!/usr/bin/env bash
# Installs what is missing and cross-builds the Windows program with mingw-w64: a Release
# kelvo.exe for x64 (build/win64/app/) and for x86 (build/win32/app/), and a zip of each
# (build/win64/kelvo-1.0-x64.zip, build/win32/kelvo-1.0-x86.zip).
# With --test [ctest arguments]: also builds the test suites and runs every test (the suites and
# the program end to end) under Wine on a virtual display, in a Wine prefix of the build folder's
# own; e.g. `scripts/build-windows.sh --test -R app_wine_e2e`. For x64 always; for x86 where the
# machine runs 32-bit programs (there install-deps.sh put in Wine's 32-bit part), else the x86
# build is only compiled, with every check.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --windows
jobs=$(nproc)
test=0
if [ "${1:-}" = --test ]; then
  test=1
  shift
fi

configure() {  # build folder, toolchain, more cmake arguments
  cmake -S . -B "$1" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$2.cmake" -DCMAKE_BUILD_TYPE=Release \
    "${@:3}" >/dev/null
}

configure build/win64 x86_64-w64-mingw32 -DCMAKE_CROSSCOMPILING_EMULATOR=wine
configure build/win32 i686-w64-mingw32 -DCMAKE_CROSSCOMPILING_EMULATOR=wine
tested=()
if [ "$test" = 1 ]; then
  tested=(x64:build/win64)
  if scripts/runs-32-bit-programs.sh; then
    tested+=(x86:build/win32)
  else
    echo "x86: not run under Wine: this machine runs no 32-bit programs (wine32 stays uninstalled); x64 only"
  fi
fi
for build in build/win64 build/win32; do
  if [[ " ${tested[*]} " == *":$build "* ]]; then
    cmake --build "$build" -j"$jobs"
  else
    cmake --build "$build" -j"$jobs" --target kelvo
  fi
  (cd "$build" && cpack >/dev/null)
done
[ "$test" = 1 ] || exit 0

# The suites run on a display of their own; Wine's server of the prefix ends with them.
export WINEDEBUG=-all
# No download of Wine's .NET and HTML engines when the prefix is made: nothing here needs them.
# No icmp.dll either: the echo service must come from iphlpapi.dll, as Windows documents it.
export WINEDLLOVERRIDES="mscoree,mshtml=;icmp=d"
trap 'wineserver -k 2>/dev/null || true' EXIT
status=0
for arch_build in "${tested[@]}"; do
  arch=${arch_build%%:*}
  build=${arch_build#*:}
  export WINEPREFIX=$PWD/$build/wine
  started=$SECONDS
  xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" bash -c '
    wine wineboot -i >/dev/null 2>&1
    # A new prefix is finished only when its server ends: started earlier, the suites may find
    # the network service not yet installed (IcmpCreateFile fails), and then never again.
    wineserver -w
    ctest --test-dir "$1" --output-on-failure -j"$2" --timeout 300 "${@:3}"
  ' run-suites "$build" "$jobs" "$@" || status=1
  wineserver -k 2>/dev/null || true
  echo "$arch: the tests under Wine took $((SECONDS - started)) s"
done
exit "$status"
