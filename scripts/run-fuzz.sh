#!/usr/bin/env bash
# run-fuzz.sh [SECONDS]: builds the libFuzzer targets of fuzz/ with clang 14,
# AddressSanitizer and UndefinedBehaviorSanitizer, and runs each for SECONDS
# (default 30), starting from its seed corpus in fuzz/corpus/<target>. New inputs
# go to build-fuzz/corpus/<target> and are kept for the next run; a failing input
# is saved under build-fuzz/crashes/. Prints the runs of each target; exits 1 if
# any target found a fault.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
./scripts/setup.sh

dir=build-fuzz
CC=clang-14 CXX=clang++-14 cmake -S . -B "$dir" -DKESTRUNE_FUZZ=ON -DKESTRUNE_SANITIZE=address,undefined \
  -DKESTRUNE_BUILD_TESTS=OFF -DKESTRUNE_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)" --target kestrune_fuzzers

status=0
summary=()
for seeds in fuzz/corpus/*/; do
  target=$(basename "$seeds")
  corpus=$dir/corpus/$target
  mkdir -p "$corpus" "$dir/crashes" "$dir/logs"
  log=$dir/logs/$target.log
  echo "=== fuzz: $target for ${seconds}s"
  if "$dir/fuzz/$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
       -artifact_prefix="$dir/crashes/$target-" "$corpus" "$seeds" >"$log" 2>&1; then
    result=ok
  else
    result=FAILED
    status=1
    tail -n 40 "$log"
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  summary+=("$(printf '%-20s %12s runs  %s' "$target" "${runs:-?}" "$result")")
done
printf '%s\n' "=== fuzz summary (${seconds}s each)" "${summary[@]}"
exit $status
