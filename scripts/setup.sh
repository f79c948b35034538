#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the example need.
# Idempotent; installs only what is missing, without asking.
set -euo pipefail
packages=(
  build-essential cmake pkg-config libgtest-dev
  debhelper dpkg-dev fakeroot lintian
  libnetfilter-queue-dev libmnl-dev libudev-dev
  iptables iproute2 util-linux procps
  python3 python3-samba
  e2fsprogs
  # udevadm's libraries: the tests unpack udevadm from the udev package without installing it
  libacl1 libblkid1 libcap2 libkmod2 liblzma5 libpcre2-8-0 libselinux1 libssl3 libzstd1
  binutils-mingw-w64-x86-64 g++-mingw-w64-x86-64-posix googletest wine wine64
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  [ "$(id -u)" -eq 0 ] || { echo "setup: run as root to install: ${missing[*]}" >&2; exit 1; }
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
