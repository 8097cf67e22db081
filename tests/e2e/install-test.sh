#!/usr/bin/env bash
# Installs the build into a temporary root (DESTDIR, prefix /usr), checks the layout a
# distribution package has, runs the installed terminal and scanwell against the installed
# server, and builds a program against the installed library with pkg-config and with CMake.
# Usage: install-test.sh BUILD_DIR LIBDIR [SANITIZERS]
set -euo pipefail
build=$1
libdir=$2
# A library built with sanitizers wants its users built with the same ones.
sanitize=${3:+-fsanitize=$3}
root=$(mktemp -d)
server_pid=
# The server is waited for, so nothing of it outlives the test and holds the test's output open.
cleanup() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$root"
}
trap cleanup EXIT
fail() { echo "install-test: $*" >&2; exit 1; }

DESTDIR=$root timeout 120 cmake --install "$build" --prefix /usr >/dev/null
usr=$root/usr
lib=$usr/$libdir

# The layout: programs, libraries with their SONAME and development links, the header, the
# files for linking, man pages, completion, documents.
for f in bin/tarvik-terminal bin/varnax-server bin/varnax-demo-target bin/scanwell \
         include/jtag_varnax.h "$libdir/pkgconfig/jtag_varnax.pc" \
         "$libdir/cmake/jtag_varnax/jtag_varnax-config.cmake" \
         "$libdir/cmake/jtag_varnax/jtag_varnax-config-version.cmake" \
         share/man/man1/tarvik-terminal.1.gz share/man/man1/varnax-server.1.gz \
         share/man/man1/scanwell.1.gz share/bash-completion/completions/tarvik-terminal \
         share/bash-completion/completions/varnax-server share/bash-completion/completions/scanwell \
         share/doc/tarvik-terminal/README.md share/doc/tarvik-terminal/copyright \
         share/doc/tarvik-terminal/protocol.md share/doc/tarvik-terminal/server.md; do
  [ -f "$usr/$f" ] || fail "missing $f"
done
for link in bin/pelk-terminal:tarvik-terminal share/man/man1/pelk-terminal.1.gz:tarvik-terminal.1.gz \
            share/bash-completion/completions/pelk-terminal:tarvik-terminal \
            "$libdir/libjtag_varnax.so:libjtag_varnax.so.1" \
            "$libdir/libjtag_varnax.so.1:libjtag_varnax.so.1.0.0" \
            "$libdir/libzell_main_globals.so:libzell_main_globals.so.1" \
            "$libdir/libzell_main_globals.so.1:libzell_main_globals.so.1.0.0"; do
  [ "$(readlink "$usr/${link%%:*}")" = "${link#*:}" ] || fail "${link%%:*} is not a link to ${link#*:}"
done
for name in jtag_varnax zell_main_globals; do
  readelf -d "$lib/lib$name.so.1.0.0" | grep -q "SONAME.*\[lib$name.so.1\]" || fail "lib$name: no SONAME"
done
grep -qx "prefix=/usr" "$lib/pkgconfig/jtag_varnax.pc" || fail "jtag_varnax.pc: prefix is not /usr"
zcat "$usr/share/man/man1/pelk-terminal.1.gz" | grep -q "^tarvik-terminal, pelk-terminal " ||
  fail "pelk-terminal(1) does not name pelk-terminal"

# The installed programs use the installed libraries, whatever the environment says.
unset LD_LIBRARY_PATH JTAG_VARNAX_SERVER
loaded=$(ldd "$usr/bin/tarvik-terminal" | sed -n 's/.*libjtag_varnax.so.1 => \(.*\) (.*/\1/p')
[ "$(realpath "$loaded")" = "$(realpath "$lib/libjtag_varnax.so.1")" ] ||
  fail "the installed terminal loads $loaded, not the installed library"
"$usr/bin/pelk-terminal" --version | grep -qx "pelk-terminal: Version (wombat)" || fail "pelk-terminal --version"

coproc SERVER { exec timeout -k 5 60 "$usr/bin/varnax-server" --demo --listen 127.0.0.1:0 --no-commands --quiet </dev/null 2>"$root/server.log"; }
server_pid=$SERVER_PID
read -r -t 10 word address <&"${SERVER[0]}" || fail "the installed server did not start"
[ "$word" = listening ] || fail "unexpected server output: $word $address"
export JTAG_VARNAX_SERVER=$address

out=$(timeout 30 "$usr/bin/scanwell") || fail "scanwell found no JTAG UART: $out"
grep -qF -- '--cable "Varnax demo cable [USB-0]" --device 1 --instance 0' <<<"$out" ||
  fail "scanwell did not list the demo JTAG UART: $out"

# Input stays open longer than the session, which ends on its time limit.
out=$({ printf 'help\r'; sleep 6; } | timeout 30 "$usr/bin/tarvik-terminal" -q -o 3) ||
  fail "the installed terminal failed: $out"
grep -q "Varnax demo target ready" <<<"$out" || fail "no demo banner: $out"
grep -q "commands: help" <<<"$out" || fail "the demo target did not answer help: $out"

# bash completion of each program's options, where bash-completion is installed.
completion=/usr/share/bash-completion/bash_completion
complete_line() {
  # The last word is the one being completed; prints the candidates, one a line.
  bash -c '
    source "$1"; dir=$2; shift 2
    source "$dir/$1"
    COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
    func=$(complete -p "$1" | sed "s/.*-F \([^ ]*\) .*/\1/")
    "$func" "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}" 2>/dev/null
    printf "%s\n" "${COMPREPLY[@]}"' \
    complete "$completion" "$usr/share/bash-completion/completions" "$@"
}
if [ -f "$completion" ]; then
  PATH=$usr/bin:$PATH
  [ "$(complete_line tarvik-terminal --ca)" = "--cable=" ] || fail "no completion of tarvik-terminal --ca"
  [ "$(complete_line pelk-terminal --no-g)" = "--no-gmon" ] || fail "no completion of pelk-terminal --no-g"
  [[ "$(complete_line varnax-server --li)" == --listen* ]] || fail "no completion of varnax-server --li"
  [ "$(complete_line scanwell --v)" = "--version" ] || fail "no completion of scanwell --v"
fi

# A program of someone who links the library: with pkg-config, then with CMake.
cat >"$root/use-library.cpp" <<'CPP'
#include <jtag_varnax.h>
#include <cstdio>
int main() {
    JTAGVARNAX* link = jtagvarnax_open(nullptr, -1, -1, "use-library");
    if (link == nullptr) return 1;
    const char* cable = nullptr;
    int device = 0, instance = 0;
    jtagvarnax_get_info(link, &cable, &device, &instance);
    std::printf("%s %d %d\n", cable, device, instance);
    jtagvarnax_close(link);
    return 0;
}
CPP
expected="Varnax demo cable [USB-0] 1 0"
if command -v pkg-config >/dev/null; then
  flags=$(PKG_CONFIG_SYSROOT_DIR=$root PKG_CONFIG_LIBDIR=$lib/pkgconfig pkg-config --cflags --libs jtag_varnax)
  # shellcheck disable=SC2086
  g++ $sanitize -o "$root/use-pc" "$root/use-library.cpp" $flags "-Wl,-rpath,$lib"
  [ "$(timeout 30 "$root/use-pc")" = "$expected" ] || fail "the pkg-config build did not open the JTAG UART"
fi
mkdir "$root/consumer"
cat >"$root/consumer/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(use_library CXX)
find_package(jtag_varnax 1.0 REQUIRED)
add_executable(use-cmake ../use-library.cpp)
target_link_libraries(use-cmake PRIVATE jtag_varnax::jtag_varnax)
CMAKE
timeout 120 cmake -S "$root/consumer" -B "$root/consumer/build" -G Ninja \
  -DCMAKE_PREFIX_PATH="$usr" -DCMAKE_BUILD_RPATH="$lib" -DCMAKE_CXX_FLAGS="$sanitize" >/dev/null
timeout 120 cmake --build "$root/consumer/build" >/dev/null
[ "$(timeout 30 "$root/consumer/build/use-cmake")" = "$expected" ] ||
  fail "the CMake build did not open the JTAG UART"
echo "install-test: installed layout, programs and library all work"
