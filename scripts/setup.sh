#!/usr/bin/env bash
# Installs the Debian packages the build, the tests, the fuzzers and the .deb need (skips what
# is there): libssl-dev for the proof of the shared secret, iproute2 for the tests from another
# address. With --demo, only what building and running the demo needs.
# For the Windows build: mingw-w64 to cross-build, wine to run it, GoogleTest's sources.
set -euo pipefail
# verilator and openocd: the JTAG UART core's simulation behind OpenOCD (its tests skip
# themselves without them); yosys, nextpnr-ice40 and fpga-icestorm (icepack): its bitstream;
# iverilog: a second simulator that checks the Verilog stays portable.
# qemu-system-arm and u-boot-qemu: real firmware (U-Boot on an emulated arm64 board) for the
# end-to-end test of the server's program target; the test is skipped without them.
packages=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev python3
          libssl-dev iproute2 qemu-system-arm u-boot-qemu dpkg-dev file pkgconf bash-completion
          mingw-w64 wine wine64 googletest
          verilator openocd yosys nextpnr-ice40 fpga-icestorm iverilog)
[ "${1:-}" = --demo ] && packages=(cmake ninja-build g++ libssl-dev)

# The program that shows a package is there, for systems without dpkg (libraries and data
# have none).
program_of() {
  case $1 in
    ninja-build) echo ninja ;;
    libclang-rt-14-dev | libgtest-dev | libgmock-dev | libssl-dev | u-boot-qemu) ;;
    bash-completion | googletest | wine64) ;;
    mingw-w64) echo x86_64-w64-mingw32-g++-posix ;;
    iproute2) echo ip ;;
    qemu-system-arm) echo qemu-system-aarch64 ;;
    dpkg-dev) echo dpkg-shlibdeps ;;
    fpga-icestorm) echo icepack ;;
    pkgconf) echo pkg-config ;;
    *) echo "$1" ;;
  esac
}

missing=()
if ! command -v dpkg-query >/dev/null; then
  for p in "${packages[@]}"; do
    program=$(program_of "$p")
    [ -z "$program" ] || command -v "$program" >/dev/null || missing+=("$program")
  done
  if ((${#missing[@]})); then
    echo "setup: missing: ${missing[*]} (no dpkg here: install them with this system's tools)" >&2
    exit 1
  fi
  exit 0
fi
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi
