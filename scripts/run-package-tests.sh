#!/usr/bin/env bash
# run-package-tests.sh: builds the Debian packages (build-package.sh, lintian
# included), installs them on this machine, runs the installed command (status
# in the default policy store, then set, status and policy show in a scratch
# one), builds the two consumers against the installed development package,
# and removes the packages again. For CI and other throwaway machines: it
# installs into the live system, as root, without asking.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" -eq 0 ] || { echo "run-package-tests: run as root" >&2; exit 1; }
./scripts/setup.sh
./scripts/build-package.sh build-deb

work=$(mktemp -d /tmp/kestrune-package-XXXXXX)
default_root=/var/lib/kestrune
had_default_root=$([ -e "$default_root" ] && echo yes || echo no)
apt_get() { apt-get -o DPkg::Lock::Timeout=900 -y -q "$@"; }
cleanup() {
  apt_get purge kestrune-gpo kestrune libkestrune-dev libkestrune1 >/dev/null || true
  [ "$had_default_root" = yes ] || rm -rf "$default_root"
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

export DEBIAN_FRONTEND=noninteractive
apt_get install --no-install-recommends ./build-deb/libkestrune1_*.deb ./build-deb/libkestrune-dev_*.deb \
  ./build-deb/kestrune_*.deb >/dev/null

[ "$(command -v kestrune)" = /usr/bin/kestrune ] || fail "kestrune is not /usr/bin/kestrune"
[ -f /usr/share/man/man1/kestrune.1.gz ] || fail "no manual page"
echo "=== kestrune status (default policy store)"
kestrune status

echo "=== kestrune set mouse deny udisk read-only (scratch policy store)"
export KESTRUNE_ROOT=$work/root
kestrune set mouse deny udisk read-only
kestrune status --json | tee "$work/status.json"
grep -q '"device":"mouse","category":"normal","identifier":"QVX_KESTRUNE_NORMAL_DEVID_MOUSE","permission":"deny"' \
  "$work/status.json" || fail "status does not show the mouse denied"
grep -q '"device":"udisk","category":"storage","identifier":"QVX_KESTRUNE_STORAGE_DEVID_UDISK","permission":"read-only"' \
  "$work/status.json" || fail "status does not show the removable disk read-only"
kestrune policy show | tee "$work/policy.txt"
grep -q 'Deny_Write = 1' "$work/policy.txt" || fail "policy show does not show Deny_Write"
set +e
kestrune set mose deny 2>"$work/error.txt"
status=$?
set -e
[ "$status" -eq 2 ] && [ "$(wc -l <"$work/error.txt")" -eq 1 ] || fail "a wrong device name: exit $status"

echo "=== consumers of the installed development package"
cmake -S tests/install/consumer -B "$work/cmake-consumer" >/dev/null
cmake --build "$work/cmake-consumer" >/dev/null
KESTRUNE_ROOT=$work/root-cmake "$work/cmake-consumer/consumer" >/dev/null || fail "the find_package consumer"
# shellcheck disable=SC2046 # the flags are separate words
cc -std=c11 -Wall -Wextra -Wpedantic -Werror -o "$work/c-consumer" tests/install/consumer/consumer.c \
  $(pkg-config --cflags --libs kestrune)
KESTRUNE_ROOT=$work/root-c "$work/c-consumer" >/dev/null || fail "the pkg-config consumer"
echo "=== kestrune-gpo: registered with Samba's engine on install, unregistered on removal"
# The package's scripts write Samba's gpext.conf: they run over a private state
# folder, so the machine's own Samba stays untouched.
guid=$(sed -n "s/^CSE_GUID = '\(.*\)'$/\1/p" tools/samba/kestrune_gpext.py)
[ -n "$guid" ] || fail "no extension GUID in kestrune_gpext.py"
gpo_check='
  apt-get -o DPkg::Lock::Timeout=900 -y -q install --no-install-recommends ./build-deb/kestrune-gpo_*.deb >/dev/null
  [ -x /usr/sbin/kestrune-gpo ] && [ -f /usr/share/man/man8/kestrune-gpo.8.gz ]
  grep -q "$GUID" /var/lib/samba/gpext.conf
  apt-get -o DPkg::Lock::Timeout=900 -y -q purge kestrune-gpo >/dev/null
  ! grep -q "$GUID" /var/lib/samba/gpext.conf'
if mountpoint -q /; then
  GUID=$guid unshare --mount --propagation private sh -ec "
    mkdir -p /var/lib/samba
    mount -t tmpfs kestrune-samba-state /var/lib/samba
    $gpo_check" || fail "kestrune-gpo did not register and unregister its extension"
else
  # Inside a chroot "/" is no mount point and cannot be made private: the
  # chroot's own Samba state serves, and its gpext.conf is put back as it was.
  mkdir -p /var/lib/samba
  saved=$work/gpext.conf.saved
  [ ! -e /var/lib/samba/gpext.conf ] || cp -p /var/lib/samba/gpext.conf "$saved"
  GUID=$guid sh -ec "$gpo_check" || status=fail
  if [ -e "$saved" ]; then cp -p "$saved" /var/lib/samba/gpext.conf; else rm -f /var/lib/samba/gpext.conf; fi
  [ "${status:-}" != fail ] || fail "kestrune-gpo did not register and unregister its extension"
fi
echo "package tests: passed"
