#!/usr/bin/env bash
# Builds the Windows deliverables (Kestrune.dll, KestruneTest.exe) and their tests
# with mingw-w64 into build-win/, and runs the tests under Wine in the private
# prefix build-win/wine-prefix (see tests/windows/wine-run.sh). The Linux console
# is built too (build/), for the comparison of a whole console pass.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
jobs=$(nproc)

cmake -S . -B build -DKESTRUNE_SANITIZE= >/dev/null
cmake --build build --target KestruneTest -j "$jobs" >/dev/null

dir=build-win
cmake -S . -B "$dir" --toolchain cmake/toolchains/mingw-w64-x86_64.cmake \
  -DKESTRUNE_LINUX_CONSOLE="$PWD/build/testconsole/KestruneTest" >/dev/null
cmake --build "$dir" -j "$jobs"

prefix=$PWD/$dir/wine-prefix
# Ends the wineserver of this prefix, and with it every Wine process in it.
stop_wine() {
  if [ -d "$prefix" ]; then
    WINEPREFIX=$prefix timeout -k 5 60 wineserver -k 2>/dev/null || true
  fi
}
trap stop_wine EXIT
echo "=== tests: Windows build under Wine ($dir)"
(cd "$dir" && ctest --output-on-failure -j "$jobs")
