#!/usr/bin/env bash
# The Windows build, cross-built with mingw-w64 and tested under wine: the windows workflow
# (configure, build, the unit tests under wine through ctest, the zip), the Linux test that
# drives the Windows terminal and fatal-error probe under wine against the native server, then
# the server's end-to-end cases against varnax-server.exe under wine (the Linux terminal, the
# library and scanwell as its clients; a JTAG chain through OpenOCD's Tcl port among them), the
# Windows terminal against it, and demo.cmd.
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

echo "=== windows: build, unit tests under wine, zip (at $(( $(date +%s) - started )) s)"
cmake --workflow --preset windows

echo "=== windows: the Windows terminal under wine, driven from Linux (at $(( $(date +%s) - started )) s)"
# The server's own cases, and the Linux terminal's that reach the server (connecting, relaying,
# the profile); the terminal's texts and console are the Linux server's tests' concern.
server_tests=(server-test server-options-test server-run-test jtag-varnax-test transfer-test
              faults-test port-targets-test remote-auth-test scanwell-test terminal-connect-test
              terminal-relay-test terminal-gmon-test)
cmake --build --preset "$linux_preset" --target windows-terminal-test jtag-terminal-test \
  "${server_tests[@]}"
# Against the Linux server: the fatal-error hooks and the relay both ways; the Windows
# terminal's other cases run against the Windows server below.
WINDOWS_TERMINAL=$PWD/$build/wine/tarvik-terminal \
WINDOWS_FATAL_PROBE=$PWD/$build/wine/fatal-probe \
  "build/$linux_preset/bin/windows-terminal-test" --gtest_brief=1 \
  --gtest_filter='WindowsFatalHooks.*:WindowsTerminal.RelaysMegabytesBothWaysExactly'

echo "=== windows: the server's end-to-end cases against varnax-server.exe under wine (at $(( $(date +%s) - started )) s)"
# The launcher runs the .exe under wine; serial cases link COM ports of the prefix to their
# pseudo-terminals.
export VARNAX_SERVER=$PWD/$build/wine/varnax-server
export VARNAX_SERVER_DOSDEVICES=$PWD/$build/wineprefix/dosdevices
for test in "${server_tests[@]}"; do
  echo "--- $test"
  "build/$linux_preset/bin/$test" --gtest_brief=1
done
# The JTAG cable through an OpenOCD the test runs (wine has none to start): the simulated chip,
# reached at OpenOCD's Tcl port by the Windows server.
echo "--- jtag-terminal-test"
"build/$linux_preset/bin/jtag-terminal-test" --gtest_brief=1 --gtest_filter='JtagTerminalOwnOpenOcd.*'

echo "=== windows: the Windows terminal against the Windows server, and demo.cmd of the zip (at $(( $(date +%s) - started )) s)"
# Unpacked where a path holds a space, as "C:\Program Files" does.
temp=$(mktemp -d)
trap 'rm -rf "$temp"; stop_wine' EXIT
unpacked="$temp/unzipped here"
mkdir "$unpacked"
zip_file=$(echo "$PWD/$build"/package/*.zip)
(cd "$unpacked" && cmake -E tar xf "$zip_file")
WINDOWS_TERMINAL=$PWD/$build/wine/tarvik-terminal \
WINDOWS_DEMO=$(echo "$unpacked"/*/demo.cmd) WINDOWS_PREFIX=$PWD/$build/wineprefix \
  "build/$linux_preset/bin/windows-terminal-test" --gtest_brief=1 \
  --gtest_filter='WindowsTerminal.*:WindowsDemo.*'

ls "$build"/package/*.zip
echo "=== windows: done in $(( $(date +%s) - started )) s"
