#!/usr/bin/env bash
# Runs the terminal's benchmarks (the ci build) against another build of the terminal and
# against this one, taking turns, so that both are measured in the same run under the same
# load. The other build is usually the main branch built in a worktree of its own:
#
#   git worktree add --detach /tmp/base main
#   (cd /tmp/base && cmake --preset ci && cmake --build --preset ci --target terminal)
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
        echo "=== round $round: $terminal"
        BENCH_TERMINAL=$terminal "$bin/echo-latency" 60 64
        BENCH_TERMINAL=$terminal "$bin/terminal-throughput" 8192 3
        BENCH_TERMINAL=$terminal "$bin/idle-session" 5 3
        echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
    done
done
