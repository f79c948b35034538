#!/usr/bin/env bash
# Builds the project three times (plain, AddressSanitizer + UndefinedBehaviorSanitizer,
# ThreadSanitizer) and runs every test in each build, in a shuffled order.
#
# KESTRUNE_TEST_SEED=N repeats a run's order (the seed is printed first). A test
# that cannot run reports skip with its reason; every skip is named at the end, and
# when CI is set a skip fails the run: CI has root and namespaces, so a skip there
# hides a fault.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh

seed=${KESTRUNE_TEST_SEED:-$(( (RANDOM * 32768 + RANDOM) % 99999 + 1 ))}
echo "=== tests run shuffled with seed $seed (KESTRUNE_TEST_SEED=$seed repeats the order)"
export GTEST_SHUFFLE=1 GTEST_RANDOM_SEED=$seed

status=0
skipped=()
run() {
  local dir=$1 san=$2 log
  echo "=== tests: ${san:-plain} build ($dir)"
  ./scripts/build.sh "$dir" "$san"
  log=$(mktemp)
  (cd "$dir" && ctest --output-on-failure -j "$(nproc)") | tee "$log" || status=1
  # ctest lists a test whose output matched its skip expression as "***Skipped".
  local name
  while read -r name; do
    skipped+=("${san:-plain}: $name")
    echo "--- $name skipped in the ${san:-plain} build; its reason:"
    (cd "$dir" && ctest -R "^${name}\$" -V 2>&1 | sed -n 's/^[0-9]*: //p' |
      grep -E -A1 ': Skipped$|skipped|exit 77' | grep -v -E '^(--)?$' | head -20) || true
  done < <(sed -n 's/.*Test *#[0-9]*: \([A-Za-z0-9_]*\) .*\*\*\*Skipped.*/\1/p' "$log")
  rm -f "$log"
}
run build ""
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run build-asan "address,undefined"
TSAN_OPTIONS=second_deadlock_stack=1 run build-tsan "thread"

if [ ${#skipped[@]} -gt 0 ]; then
  echo "=== skipped tests:"
  printf '  %s\n' "${skipped[@]}"
  if [ -n "${CI:-}" ]; then
    echo "=== CI is set: a skipped test fails the run" >&2
    status=1
  fi
fi
echo "=== tests ran with seed $seed: $([ $status -eq 0 ] && echo passed || echo FAILED)"
exit $status
