#!/usr/bin/env bash
# The Windows build, cross-built with mingw-w64 and tested under wine: the windows workflow
# (configure, build, the unit tests under wine through ctest, the zip), then the Linux test that
# drives the Windows terminal and fatal-error probe under wine against the native server.
#   scripts/test-windows.sh [LINUX_PRESET]     (default ci; it must be configured already)
set -euo pipefail
cd "$(dirname "$0")/.."
linux_preset=${1:-ci}
started=$(date +%s)
build=build/windows

# The wine server of this build's prefix goes when the tests are done.
stop_wine() {
  WINEPREFIX=$PWD/$build/wineprefix /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
}
trap stop_wine EXIT

echo "=== windows: build, unit tests under wine, zip"
cmake --workflow --preset windows

echo "=== windows: the Windows terminal under wine, driven from Linux"
cmake --build --preset "$linux_preset" --target windows-terminal-test
WINDOWS_TERMINAL=$PWD/$build/wine/tarvik-terminal \
WINDOWS_FATAL_PROBE=$PWD/$build/wine/fatal-probe \
  "build/$linux_preset/bin/windows-terminal-test"

ls "$build"/package/*.zip
echo "=== windows: done in $(( $(date +%s) - started )) s"
