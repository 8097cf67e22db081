#!/usr/bin/env bash
# Builds Debian's GoogleTest sources (package googletest) with the mingw-w64 toolchain and
# installs them into PREFIX, for the Windows build's tests. Does nothing when PREFIX has them.
#   scripts/build-gtest-mingw.sh PREFIX
set -euo pipefail
prefix=${1:?usage: build-gtest-mingw.sh PREFIX}
source_dir=/usr/src/googletest
toolchain="$(cd "$(dirname "$0")/.." && pwd)/cmake/mingw-w64.cmake"
[ -f "$prefix/lib/cmake/GTest/GTestConfig.cmake" ] && exit 0
[ -f "$source_dir/CMakeLists.txt" ] || { echo "no GoogleTest sources in $source_dir (apt-get install googletest)" >&2; exit 1; }
work="$prefix.build"
rm -rf "$work"
cmake -S "$source_dir" -B "$work" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_GMOCK=ON \
  -Dgtest_force_shared_crt=ON >/dev/null
cmake --build "$work" >/dev/null
cmake --install "$work" >/dev/null
rm -rf "$work"
