#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the fuzzers need (skips what is there):
# libssl-dev for the proof of the shared secret, iproute2 for the tests from another address.
set -euo pipefail
# qemu-system-arm and u-boot-qemu: real firmware (U-Boot on an emulated arm64 board) for the
# end-to-end test of the server's program target; the test is skipped without them.
packages=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev python3
          libssl-dev iproute2 qemu-system-arm u-boot-qemu)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi
