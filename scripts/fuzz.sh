#!/usr/bin/env bash
# Runs the fuzz targets of fuzz/ with libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer:
#   scripts/fuzz.sh [TARGET|all] [SECONDS]      (default: all targets, 30 s each)
# Each starts from its seed corpus in fuzz/corpus/<target>/, which it only reads; what it learns
# goes to build/fuzz/corpus/<target>/, a failing input to build/fuzz/findings/<target>/. Prints the
# executions per second of each and exits non-zero when any found a fault.
set -euo pipefail
cd "$(dirname "$0")/.."
target=${1:-all}
seconds=${2:-30}
build=build/fuzz
all=(phone_book_file echo_datagram echo_helper_message host_entry typed_text)
if [ "$target" = all ]; then targets=("${all[@]}"); else targets=("$target"); fi

export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD}
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVO_WITH_QT=OFF \
  -DKELVO_SANITIZE=address,undefined -DKELVO_FUZZ=ON "${launcher[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]/#/fuzz_}" >/dev/null

export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
failed=0
for t in "${targets[@]}"; do
  mkdir -p "$build/corpus/$t" "$build/findings/$t"
  log="$build/findings/$t/last-run.log"
  start=$(date +%s)
  status=0
  "$build/fuzz/fuzz_$t" "$build/corpus/$t" "fuzz/corpus/$t" -max_total_time="$seconds" -timeout=20 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/findings/$t/" >"$log" 2>&1 || status=$?
  end=$(date +%s)
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  echo "$t: ${runs:-?} runs in $((end - start)) s, ${rate:-?} per second"
  if [ "$status" -ne 0 ]; then
    failed=1
    echo "$t: FAULT FOUND (exit $status); input and log in $build/findings/$t/" >&2
    grep -m 5 -E 'ERROR|runtime error|property broken|Test unit written' "$log" >&2 || true
  fi
done
exit "$failed"
