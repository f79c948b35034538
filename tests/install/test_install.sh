#!/usr/bin/env bash
# test_install.sh BUILD_DIR SOURCE_DIR: installs the build into a DESTDIR and
# checks what an outside program finds there: the versioned library with its
# SONAME, the public header alone, the manual pages, and two consumers, one
# built with find_package(Kestrune) and one in C with pkg-config, each run
# against the installed library in a scratch policy root.
set -euo pipefail
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
work=$(mktemp -d /tmp/kestrune-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
dest=$work/dest
fail() { echo "FAIL: $*" >&2; exit 1; }

DESTDIR=$dest cmake --install "$build" >/dev/null
prefix=$dest$(sed -n 's/^prefix=//p' "$build/kestrune.pc")
libdir=$dest$(sed -n 's/^libdir=//p' "$build/kestrune.pc")

# The library under its versioned name, with the two links to it.
[ -f "$libdir/libKestrune.so.1.0" ] && [ ! -L "$libdir/libKestrune.so.1.0" ] || fail "no libKestrune.so.1.0"
[ "$(readlink "$libdir/libKestrune.so.1")" = libKestrune.so.1.0 ] || fail "libKestrune.so.1 does not link to the library"
[ "$(readlink "$libdir/libKestrune.so")" = libKestrune.so.1 ] || fail "libKestrune.so does not link to libKestrune.so.1"
# Whole outputs go to grep: with pipefail, grep -q ending a pipe early fails it.
grep -Eq '^ +SONAME +libKestrune\.so\.1$' <<<"$(objdump -p "$libdir/libKestrune.so.1.0")" || fail "SONAME is not libKestrune.so.1"

# Only the public header, and the manual pages of both programs.
headers=$(cd "$dest" && find . -name '*.h' | sort)
[ "$headers" = "./${prefix#"$dest"/}/include/kestrune.h" ] || fail "installed headers: $headers"
for page in kestrune.1 KestruneTest.1; do
  [ -f "$prefix/share/man/man1/$page" ] || fail "no manual page $page"
done

export LD_LIBRARY_PATH=$libdir
uses_installed_library() {
  grep -q "libKestrune.so.1 => $libdir/libKestrune.so.1" <<<"$(ldd "$1")" || fail "$1 does not load the installed library"
}

# The CMake way.
cmake -S "$source/tests/install/consumer" -B "$work/cmake-consumer" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake-consumer" >/dev/null
uses_installed_library "$work/cmake-consumer/consumer"
KESTRUNE_ROOT=$work/root-cmake "$work/cmake-consumer/consumer" >/dev/null || fail "the find_package consumer failed"

# The pkg-config way, from C.
export PKG_CONFIG_PATH=$libdir/pkgconfig PKG_CONFIG_SYSROOT_DIR=$dest
[ "$(pkg-config --modversion kestrune)" = "$(sed -n 's/^Version: //p' "$build/kestrune.pc")" ] || fail "pkg-config version"
# shellcheck disable=SC2046 # the flags are separate words
cc -std=c11 -Wall -Wextra -Wpedantic -Werror -o "$work/c-consumer" "$source/tests/install/consumer/consumer.c" \
  $(pkg-config --cflags --libs kestrune)
uses_installed_library "$work/c-consumer"
KESTRUNE_ROOT=$work/root-c "$work/c-consumer" >/dev/null || fail "the pkg-config consumer failed"

# The installed command against the installed library.
uses_installed_library "$prefix/bin/kestrune"
KESTRUNE_ROOT=$work/root-command "$prefix/bin/kestrune" set mouse deny || fail "installed kestrune set"
status=$(KESTRUNE_ROOT=$work/root-command "$prefix/bin/kestrune" status --json)
grep -q '"device":"mouse","category":"normal","identifier":"QVX_KESTRUNE_NORMAL_DEVID_MOUSE","permission":"deny"' <<<"$status" \
  || fail "installed kestrune status does not show the mouse denied"
echo "install: library, header, CMake package, pkg-config file, programs and manual pages in place; both consumers ran"
