#!/usr/bin/env bash
# build.sh [BUILD_DIR] [SANITIZERS]: configures and builds the project.
# SANITIZERS is empty, "address,undefined" or "thread".
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
san=${2:-}
cmake -S . -B "$dir" -DKESTRUNE_SANITIZE="$san" >/dev/null
cmake --build "$dir" -j "$(nproc)"
