#!/usr/bin/env bash
# Builds the project three times (plain, AddressSanitizer + UndefinedBehaviorSanitizer,
# ThreadSanitizer) and runs every test in each build.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
status=0
run() {
  local dir=$1 san=$2
  echo "=== tests: ${san:-plain} build ($dir)"
  ./scripts/build.sh "$dir" "$san"
  (cd "$dir" && ctest --output-on-failure -j "$(nproc)") || status=1
}
run build ""
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run build-asan "address,undefined"
TSAN_OPTIONS=second_deadlock_stack=1 run build-tsan "thread"
exit $status
