#!/usr/bin/env bash
# Installs what is missing and cross-builds the Windows program with mingw-w64: a Release
# kelvo.exe for x64 (build/win64/app/) and for x86 (build/win32/app/), and a zip of each
# (build/win64/kelvo-1.0-x64.zip, build/win32/kelvo-1.0-x86.zip).
# With --test [ctest arguments]: also builds the x64 test suites and runs every x64 test (the
# suites and the program end to end) under Wine on a virtual display, in a Wine prefix of the
# build folder's own; e.g. `scripts/build-windows.sh --test -R app_wine_e2e`. The x86 build is
# compiled with every check; it runs only where the machine runs 32-bit programs (probed below).
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
configure build/win32 i686-w64-mingw32
if [ "$test" = 1 ]; then
  cmake --build build/win64 -j"$jobs"
else
  cmake --build build/win64 -j"$jobs" --target kelvo
fi
cmake --build build/win32 -j"$jobs" --target kelvo
(cd build/win64 && cpack >/dev/null)
(cd build/win32 && cpack >/dev/null)
[ "$test" = 1 ] || exit 0

# Wine's 32-bit part (wine32) is installed only where 32-bit programs run: elsewhere the `wine`
# launcher would take its 32-bit loader for every program, and the 64-bit ones would stop too.
runs_32_bit_programs() {
  local probe status=0
  probe=$(mktemp -d)
  printf '.globl _start\n_start:\n movl $1, %%eax\n xorl %%ebx, %%ebx\n int $0x80\n' >"$probe/exit.s"
  { as --32 "$probe/exit.s" -o "$probe/exit.o" && ld -m elf_i386 "$probe/exit.o" -o "$probe/exit" &&
    "$probe/exit"; } >/dev/null 2>&1 || status=1
  rm -rf "$probe"
  return "$status"
}
if runs_32_bit_programs; then
  echo "x86: this machine runs 32-bit programs, but the x86 suites are not set up to run under Wine: x64 only"
else
  echo "x86: not run under Wine: this machine runs no 32-bit programs (wine32 stays uninstalled); x64 only"
fi

# The suites run on a display of their own; Wine's server of the prefix ends with them.
export WINEPREFIX=$PWD/build/win64/wine
export WINEDEBUG=-all
# No download of Wine's .NET and HTML engines when the prefix is made: nothing here needs them.
# No icmp.dll either: the echo service must come from iphlpapi.dll, as Windows documents it.
export WINEDLLOVERRIDES="mscoree,mshtml=;icmp=d"
trap 'wineserver -k 2>/dev/null || true' EXIT
xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" bash -c '
  wine wineboot -i >/dev/null 2>&1
  # A new prefix is finished only when its server ends: started earlier, the suites may find
  # the network service not yet installed (IcmpCreateFile fails), and then never again.
  wineserver -w
  ctest --test-dir build/win64 --output-on-failure -j"$1" --timeout 300 "${@:2}"
' run-suites "$jobs" "$@"
