#!/usr/bin/env bash
# The domain end-to-end test: a throwaway Samba domain controller and two clients,
# each in namespaces of its own, policy published with kestrune-gpo and applied by
# Kestrune's extension. Runs once, on the plain build, as root, within 10 minutes;
# with CI set it fails rather than skips where namespaces cannot be made.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
./scripts/build.sh build >/dev/null
prefix=$PWD/build/domain-prefix scratch=$PWD/build/domain-e2e
rm -rf "$prefix" "$scratch"
cmake --install build --prefix "$prefix" >/dev/null
exec timeout -k 30 600 /usr/bin/python3 tests/domain/domain_e2e.py \
  "$prefix" "$PWD/build/tools/kestrune/kestrune" "$scratch"
