#!/usr/bin/env bash
# Runs a Windows program under wine in the wine prefix PREFIX, setting the prefix up on first use.
#   scripts/wine-run.sh PREFIX PROGRAM.exe [ARGUMENTS...]
# The prefix is made once (about 6 s): without the empty AeDebug debugger an unhandled exception
# would start wine's debugger, and without wine's services started outside any captured pipe the
# first program would hang. The wine server stays up a minute after the last program, so the
# programs of a test run share it.
set -eu
prefix=${1:?usage: wine-run.sh PREFIX PROGRAM [ARGUMENTS...]}
shift
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine64 || command -v wine)
export WINELOADER=$wine
server=$(dirname "$wine")/wineserver
[ -x "$server" ] || server=$(command -v wineserver)
# Starts the server when none runs for this prefix, then wine's services outside any pipe. Both
# outlive this script: they must not keep the lock below.
start_server() {
  if "$server" -p60 >/dev/null 2>&1 </dev/null 9>&-; then
    "$wine" cmd /c exit >/dev/null 2>&1 </dev/null 9>&- || true
  fi
}
# One program at a time sets the prefix up and starts the server and its services; the others
# wait, or the services could start inside one of their captured pipes and hold it open.
mkdir -p "$prefix"
(
  flock 9
  if [ ! -f "$prefix/.ready" ]; then
    start_server
    "$wine" wineboot --init >/dev/null 2>&1 </dev/null 9>&-
    "$wine" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
      /v Debugger /d '' /f >/dev/null 2>&1 </dev/null 9>&-
    touch "$prefix/.ready"
  fi
  start_server
) 9>"$prefix.lock"
exec "$wine" "$@"
