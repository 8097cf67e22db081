#!/usr/bin/env bash
# Builds the terminal and the simulated-board server, starts a demo board on a free loopback
# port, and runs the terminal against it. Extra arguments go to the terminal, which runs in the
# caller's folder (so --gmon writes gmon.out there).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh" --demo

# The release build: no tests, so nothing beyond the compiler and CMake is needed.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
(cd "$root" && cmake --preset release >"$log" 2>&1) || { cat "$log" >&2; exit 1; }
targets=(--target terminal varnax-server varnax-demo-target)
if [ -t 1 ]; then
  # Ninja shows its progress on one line of a terminal.
  (cd "$root" && cmake --build --preset release "${targets[@]}")
else
  echo "demo: building, about 20 s the first time"
  (cd "$root" && cmake --build --preset release "${targets[@]}" >"$log" 2>&1) ||
    { cat "$log" >&2; exit 1; }
fi
bin=$root/build/release/bin

# The server prints "listening HOST:PORT" once it is ready; it goes away with this script.
coproc SERVER { exec "$bin/varnax-server" --demo --listen 127.0.0.1:0 --no-commands --quiet </dev/null; }
server_pid=$SERVER_PID
trap 'rm -f "$log"; kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true' EXIT
read -r -t 10 word address <&"${SERVER[0]}" || { echo "demo: the server did not start" >&2; exit 1; }
[ "$word" = listening ] || { echo "demo: unexpected server output: $word $address" >&2; exit 1; }

echo "demo: simulated board at $address; type 'help' and Enter, Ctrl-C to leave."
status=0
JTAG_VARNAX_SERVER=$address "$bin/tarvik-terminal" "$@" || status=$?
exit "$status"
