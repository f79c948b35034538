#!/usr/bin/env bash
# run-example.sh [EXAMPLE]: the main job. Installs what the build needs, builds,
# and runs the test console on examples/EXAMPLE (default storage-and-ports) in the
# scratch directory ./example-run/, with the policy root inside it, so that
# nothing outside that directory changes. Answers the console's prompt itself.
#
# The net-limit example limits the bandwidth of the namespace the console runs in,
# so it runs only inside a network namespace of its own (unshare -n), where only
# loopback exists and everything is gone when the console ends.
set -euo pipefail
cd "$(dirname "$0")/.."
example=${1:-storage-and-ports}
[ -f "examples/$example/KestruneCtl_Test_Cfg.ini" ] || {
  echo "run-example: no examples/$example/KestruneCtl_Test_Cfg.ini" >&2
  exit 2
}

./scripts/setup.sh
./scripts/build.sh build >/dev/null

run=$PWD/example-run
rm -rf "$run"
mkdir -p "$run"
echo '*' >"$run/.gitignore"
cp "examples/$example/KestruneCtl_Test_Cfg.ini" "$run/"
export KESTRUNE_ROOT=$run/policy-root
console=$PWD/build/testconsole/KestruneTest
kestrune=$PWD/build/tools/kestrune/kestrune

status=0
cd "$run"
if [ "$example" = net-limit ]; then
  # S releases the limit, Q quits.
  printf 's\nq\n' | unshare -n sh -c 'ip link set lo up && exec "$0"' "$console" || status=$?
else
  echo q | "$console" || status=$?
fi

echo
echo "=== console exit status: $status"
echo "=== output configuration: $run/KestruneCtl_Output_Cfg.ini"
cat "$run/KestruneCtl_Output_Cfg.ini" 2>/dev/null || echo "(not written)"
pol=$KESTRUNE_ROOT/GroupPolicy/Machine/Registry.pol
echo "=== saved policy: $pol"
if [ -f "$pol" ]; then
  # One line a value: key, value name, data.
  "$kestrune" policy show || echo "(not readable as Registry.pol)"
else
  echo "(not written)"
fi
exit "$status"
