#!/usr/bin/env bash
# Builds the release configuration and packs it into a .deb (cpack -G DEB, dependencies from
# dpkg-shlibdeps). Prints the package's path. With --check, also installs it with dpkg, runs
# the programs from PATH, removes it and checks that nothing of it is left (needs root).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" >/dev/null
rm -rf build/release/package
(cd build/release && cpack -G DEB >/dev/null)
deb=$(ls build/release/package/*.deb)
echo "$deb"
[ "${1:-}" = --check ] || exit 0

name=$(dpkg-deb -f "$deb" Package)
if dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q "ok installed"; then
  echo "package: $name is already installed; remove it first" >&2
  exit 1
fi
dpkg -i "$deb" >/dev/null
trap 'dpkg -P "$name" >/dev/null 2>&1 || true' EXIT
files=$(dpkg-query -L "$name")
scanwell --version >/dev/null
tarvik-terminal --version
pelk-terminal --version
# The installed terminal against the installed server, found through PATH alone.
coproc SERVER { exec timeout 60 varnax-server --demo --listen 127.0.0.1:0 --no-commands --quiet </dev/null; }
server_pid=$SERVER_PID
read -r -t 10 word address <&"${SERVER[0]}"
[ "$word" = listening ]
JTAG_VARNAX_SERVER=$address scanwell | tail -n 1
JTAG_VARNAX_SERVER=$address timeout 30 tarvik-terminal -q -o 1 </dev/null | head -n 1
kill "$server_pid" 2>/dev/null || true
wait "$server_pid" 2>/dev/null || true
dpkg -r "$name" >/dev/null
trap - EXIT
left=0
while read -r f; do
  # Folders the system owns (/usr, /usr/share/man, ...) stay; files and links of ours must not.
  if [ -e "$f" ] || [ -L "$f" ]; then [ -d "$f" ] && [ ! -L "$f" ] || { echo "left: $f" >&2; left=1; }; fi
done <<<"$files"
# Removed, the package keeps only its entry in dpkg's records (for its purge script).
dpkg -P "$name" >/dev/null
[ "$left" = 0 ] && echo "package: installed, ran and removed cleanly"
exit "$left"
