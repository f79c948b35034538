#!/usr/bin/env bash
# build-package.sh [OUT_DIR]: builds the Debian packages libkestrune1,
# libkestrune-dev, kestrune and kestrune-gpo from a copy of the tree in OUT_DIR (default
# build-deb/, git-ignored), where dpkg-buildpackage leaves the .deb files beside
# the copy, and checks them with lintian, which must report no error.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build-deb}
rm -rf "$out"
mkdir -p "$out/src"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  # Tracked and new files alike, but nothing that git ignores (build folders).
  git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t "$out/src"
else
  tar --exclude='./build*' --exclude=./example-run -cf - . | tar -xf - -C "$out/src"
fi
(cd "$out/src" && DEB_BUILD_OPTIONS="parallel=$(nproc)" dpkg-buildpackage -us -uc -b)
lintian --fail-on error --suppress-tags-from-file /dev/null "$out"/*.changes
ls "$out"/*.deb
