#!/usr/bin/env bash
# Installs the Debian packages the build, the tests, the fuzzers and the .deb need (skips what
# is there). With --demo, only what building and running the demo needs.
set -euo pipefail
packages=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev python3
          dpkg-dev file pkgconf bash-completion)
[ "${1:-}" = --demo ] && packages=(cmake ninja-build g++)

# The program that shows a package is there, for systems without dpkg (libraries have none).
program_of() {
  case $1 in
    ninja-build) echo ninja ;;
    libclang-rt-14-dev | libgtest-dev | libgmock-dev) ;;
    dpkg-dev) echo dpkg-shlibdeps ;;
    pkgconf) echo pkg-config ;;
    bash-completion) ;;
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
