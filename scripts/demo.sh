#!/usr/bin/env bash
# Builds the terminal and the simulated-board server, starts a demo board on a free loopback
# port, and runs the terminal against it. Extra arguments go to the terminal.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset dev >/dev/null
cmake --build --preset dev -j "$(nproc)" --target terminal varnax-server varnax-demo-target >/dev/null
bin=build/dev/bin

# The server prints "listening HOST:PORT" once it is ready; it goes away with this script.
coproc SERVER { exec "$bin/varnax-server" --demo --listen 127.0.0.1:0 --no-commands --quiet </dev/null; }
server_pid=$SERVER_PID
trap 'kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true' EXIT
read -r -t 10 word address <&"${SERVER[0]}" || { echo "demo: the server did not start" >&2; exit 1; }
[ "$word" = listening ] || { echo "demo: unexpected server output: $word $address" >&2; exit 1; }

echo "demo: simulated board at $address; type 'help' and Enter, Ctrl-C to leave."
status=0
JTAG_VARNAX_SERVER=$address "$bin/tarvik-terminal" "$@" || status=$?
exit "$status"
