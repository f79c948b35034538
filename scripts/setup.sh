#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the example need.
# Idempotent; installs only what is missing, without asking.
set -euo pipefail
packages=(
  build-essential cmake pkg-config libgtest-dev
  clang-14 libclang-rt-14-dev
  debhelper dpkg-dev fakeroot lintian
  libnetfilter-queue-dev libmnl-dev libudev-dev
  iptables iproute2 nftables util-linux procps
  python3 python3-matplotlib python3-samba
  e2fsprogs
  # udevadm's libraries: the tests unpack udevadm from the udev package without installing it
  libacl1 libblkid1 libcap2 libkmod2 liblzma5 libpcre2-8-0 libselinux1 libssl3 libzstd1
  binutils-mingw-w64-x86-64 g++-mingw-w64-x86-64-posix googletest wine wine64
  samba samba-ad-provision samba-common-bin samba-dsdb-modules samba-vfs-modules winbind
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  [ "$(id -u)" -eq 0 ] || { echo "setup: run as root to install: ${missing[*]}" >&2; exit 1; }
  export DEBIAN_FRONTEND=noninteractive
  # Samba's packages start their daemons when installed: a policy-rc.d that
  # refuses every start holds them back, unless the machine has its own.
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    trap 'rm -f /usr/sbin/policy-rc.d' EXIT
    printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
    chmod 755 /usr/sbin/policy-rc.d
  fi
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
  # Nor do they start at the next boot: the tests run their own domain controller
  # and clients in namespaces; the machine stays no file server. Only services
  # installed just now are switched off.
  for p in "${missing[@]}"; do
    case $p in
      samba) units=(smbd nmbd samba-ad-dc) ;;
      winbind) units=(winbind) ;;
      *) units=() ;;
    esac
    for u in "${units[@]}"; do
      update-rc.d "$u" disable >/dev/null 2>&1 || true # init scripts and systemd units
    done
  done
fi
