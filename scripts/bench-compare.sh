#!/usr/bin/env bash
# Runs the terminal's benchmarks (the ci build) against another build of the terminal and
# against this one, taking turns, so that both are measured in the same run under the same
# load. Each terminal runs against the server built next to it, when there is one. The other
# build is usually the main branch built in a worktree of its own:
#
#   git worktree add --detach /tmp/base main
#   (cd /tmp/base && cmake --preset ci && cmake --build --preset ci --target terminal varnax-server)
#   bash scripts/bench-compare.sh /tmp/base/build/ci/bin/tarvik-terminal [ROUNDS]
set -euo pipefail

if [[ $# -lt 1 || ! -x $1 ]]; then
    echo "usage: bench-compare.sh OTHER_TERMINAL [ROUNDS]" >&2
    exit 2
fi
other=$(realpath "$1")
rounds=${2:-2}
bin=$(dirname "$(realpath "$0")")/../build/ci/bin
ours=$(realpath "$bin/tarvik-terminal")

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
for ((round = 1; round <= rounds; ++round)); do
    for terminal in "$other" "$ours"; do
        server=$(dirname "$terminal")/varnax-server
        [[ -x $server ]] || server=$bin/varnax-server
        echo "=== round $round: $terminal with $server"
        export BENCH_TERMINAL=$terminal BENCH_SERVER=$server
        "$bin/echo-latency" 60 64
        "$bin/terminal-throughput" 8192 3
        "$bin/idle-session" 5 3
        echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
    done
done
