#!/usr/bin/env bash
# fetch-udevadm.sh DIR: unpacks Debian's udev package into DIR/root without
# installing it, so that the tests can check the rules file with udev's own
# engine (udevadm test) over a fake device tree. Nothing is started.
set -euo pipefail
dir=$1
[ -x "$dir/root/bin/udevadm" ] && exit 0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
if ! apt-get download udev >/dev/null 2>&1; then
  apt-get update -q >/dev/null 2>&1 || true
  apt-get download udev >/dev/null
fi
mkdir -p "$dir"
rm -rf "$dir/root"
dpkg-deb -x udev_*.deb "$dir/root"
test -x "$dir/root/bin/udevadm"
