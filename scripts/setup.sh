#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the example need.
# Idempotent; installs only what is missing, without asking.
set -euo pipefail
packages=(
  build-essential cmake pkg-config libgtest-dev
  libnetfilter-queue-dev libmnl-dev libudev-dev
  iptables iproute2 nftables util-linux procps
  python3 python3-matplotlib python3-samba
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
