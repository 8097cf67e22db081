#!/usr/bin/env bash
# Sets up, builds and runs every test: the ci build (warnings are errors), then the same suite
# under AddressSanitizer+UndefinedBehaviorSanitizer and under ThreadSanitizer, then the Windows
# build under wine, then the Debian package, then each fuzzer for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)
fuzz_seconds=${FUZZ_SECONDS:-20}

for preset in ci asan tsan; do
  echo "=== $preset: build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "=== $preset: test"
  ctest --preset "$preset" -j "$jobs"
done

bash scripts/test-windows.sh ci

# The Debian package: built, installed with dpkg, run from PATH and removed again. It needs
# root to install; elsewhere it is only built.
echo "=== package"
if [ "$(id -u)" -eq 0 ]; then bash scripts/package.sh --check; else bash scripts/package.sh; fi

echo "=== fuzz: build"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
for target in build/fuzz/bin/fuzz-*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  corpus=fuzz/corpus/${name#fuzz-}
  work=$(mktemp -d)
  echo "=== fuzz: $name for ${fuzz_seconds}s"
  seeds=()
  [ -d "$corpus" ] && seeds=("$corpus")
  "$target" -max_total_time="$fuzz_seconds" -print_final_stats=0 "$work" "${seeds[@]}" 2>&1 | tail -n 3
  rm -rf "$work"
done
echo "=== all tests passed"
