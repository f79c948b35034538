#!/usr/bin/env bash
# wine-run.sh PREFIX PROGRAM [ARGS...]: runs one Windows program under Wine, the
# way every test of the Windows build runs: in the private prefix PREFIX (made on
# first use, with Wine's null graphics driver), without Wine's debug output, with
# the test doubles beside the programs taking the place of userenv.dll, and
# bounded in time (KESTRUNE_WINE_TIMEOUT seconds, default 300).
set -euo pipefail
prefix=$1
shift
export WINEPREFIX=$prefix WINEDEBUG=-all
# A fixed locale gives the prefix a fixed ANSI code page (1252).
export LC_ALL=C
# No Mono or Gecko installers: nothing here needs them.
export WINEDLLOVERRIDES="mscoree,mshtml=;userenv=n,b"
wine=$(command -v wine64 || true)
[ -n "$wine" ] || wine=/usr/lib/wine/wine64
server=$(command -v wineserver || true)
[ -n "$server" ] || server=/usr/lib/wine/wineserver64

mkdir -p "$(dirname "$prefix")"
(
  flock 9
  if [ ! -f "$prefix/.kestrune-ready" ]; then
    timeout -k 5 300 "$wine" wineboot -i >/dev/null 2>&1
    timeout -k 5 60 "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null
    # The desktop process started with the default driver: restart it with null.
    timeout -k 5 60 "$server" -k || true
    timeout -k 5 60 "$server" -w || true
    touch "$prefix/.kestrune-ready"
  fi
) 9>"$prefix.lock"

exec timeout -k 5 "${KESTRUNE_WINE_TIMEOUT:-300}" "$wine" "$@"
