#!/usr/bin/env bash
# Runs a Windows program of the build under Wine (64-bit), in a Wine prefix
# kept in the build folder (made on first use). Wine's own noise is off and
# it does not offer to install Mono or Gecko.
set -euo pipefail
program=$1
shift
build=${VG_WINE_BUILD_DIR:-}
if [ -z "$build" ]; then
  # The program sits in the build folder or below it; the build folder holds
  # CMakeCache.txt.
  build=$(cd "$(dirname "$program")" && pwd)
  while [ "$build" != / ] && [ ! -f "$build/CMakeCache.txt" ]; do build=$(dirname "$build"); done
fi
export WINEPREFIX=$build/wineprefix
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="
loader=$(command -v wine64 || true)
[ -n "$loader" ] || loader=/usr/lib/wine/wine64
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  (
    flock 9
    [ -f "$WINEPREFIX/system.reg" ] || "$loader" wineboot --init >/dev/null 2>&1
    # Wait for the prefix to be written out, so that the next program sees it.
    "$(dirname "$loader")/wineserver" -w || true
  ) 9>"$build/wineprefix.lock"
fi
# One wineserver for the programs that follow each other, kept a minute
# after the last; it and Wine's background programs (started by the first
# program of a session) get no output of the program's. Otherwise whoever
# reads the program's output (ctest) waits for them to leave too.
server=$(dirname "$loader")/wineserver
[ -x "$server" ] || server=wineserver
if "$server" -p60 </dev/null >/dev/null 2>&1; then
  "$loader" wineboot </dev/null >/dev/null 2>&1 || true
fi
exec "$loader" "$program" "$@"
