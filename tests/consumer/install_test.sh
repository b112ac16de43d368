#!/usr/bin/env bash
# Installs a shared build into a fresh prefix and checks what a user gets: the
# replikon command runs (its run path finds the library), the library has a
# versioned SONAME and exports only Replikon's symbols, pkg-config describes
# it, and a program linked against the prefix finds the installed About
# program with the build tree's own program moved away.
#   install_test.sh SOURCE_DIR BUILD_DIR SHARED(ON|OFF) CXX WORK_DIR [cmake args...]
# A static BUILD_DIR is not installed: a shared build of the library and the
# command is made in WORK_DIR instead. Exits 77 (a skip) when it cannot run.
set -euo pipefail
src=$1 build=$2 shared=$3 cxx=$4 work=$5
shift 5

skip() {
  echo "skipped: $*"
  exit 77
}
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

command -v pkg-config >/dev/null || skip "pkg-config is not installed (Debian: pkg-config)"
command -v nm >/dev/null && command -v readelf >/dev/null || skip "nm and readelf are not installed (Debian: binutils)"

rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix

if [[ $shared != ON ]]; then
  launcher=()
  if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
  cmake -S "$src" -B "$work/build" -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON \
    -DCMAKE_CXX_COMPILER="$cxx" "${launcher[@]}" -DREPLIKON_BUILD_TESTS=OFF \
    -DREPLIKON_BUILD_BENCH=OFF -DREPLIKON_BUILD_EXAMPLES=OFF "$@" >"$work/configure.log" 2>&1 ||
    { cat "$work/configure.log"; fail "configuring a shared build"; }
  cmake --build "$work/build" -j2 >"$work/build.log" 2>&1 ||
    { tail -50 "$work/build.log"; fail "building the shared build"; }
  build=$work/build
fi
[[ -x $build/tools/replikon ]] || skip "the replikon command is not built (CLI11 missing? Debian: libcli11-dev)"

cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; fail "cmake --install"; }

# The command, started from the prefix alone.
version=$(env -u LD_LIBRARY_PATH "$prefix/bin/replikon" --version) || fail "the installed replikon command does not start"
[[ $version =~ ^replikon\ [0-9]+\.[0-9]+\.[0-9]+ ]] || fail "replikon --version printed: $version"
readelf -d "$prefix/bin/replikon" | grep -Eq 'R(UN)?PATH.*\$ORIGIN' || fail "the command has no \$ORIGIN run path"

# The package files.
pc=$(find "$prefix" -name replikon.pc -print -quit)
[[ -n $pc ]] || fail "no replikon.pc installed"
export PKG_CONFIG_PATH=$(dirname "$pc")
libs=$(pkg-config --libs replikon) || fail "pkg-config --libs replikon"
libdir=$(pkg-config --variable=libdir replikon)
[[ $libs == *-lreplikon* && -d $libdir ]] || fail "pkg-config --libs gave: $libs (libdir $libdir)"
[[ $(cd "$libdir" && pwd -P) == $(cd "$(dirname "$pc")/.." && pwd -P) ]] ||
  fail "replikon.pc names $libdir, not the prefix it was installed in"
find "$prefix" -name LICENSE | grep -q . || fail "no LICENSE installed"

# The headers: the public ones only, each compiling on its own against the
# prefix (nothing of the source tree's internal headers is needed or shipped).
headers=$prefix/include/replikon
[[ -f $headers/replikon.hpp && -f $headers/server.hpp ]] || fail "replikon.hpp and server.hpp are not installed"
for internal in copy stream/stream_engines.hpp automation/chunked_bytes.hpp about/about_form.hpp; do
  [[ ! -e $headers/$internal ]] || fail "an internal header is installed: $internal"
done
while IFS= read -r header; do
  "$cxx" -std=c++20 -fsyntax-only -Wall -Wextra -Wpedantic -Werror -I"$prefix/include" \
    -x c++ - <<<"#include \"${header#"$prefix/include/"}\"" ||
    fail "${header#"$prefix/include/"} does not compile on its own"
done < <(find "$headers" -name '*.hpp' | sort)

# The library: versioned, and exporting Replikon's API alone.
library=$libdir/libreplikon.so
[[ -e $library ]] || fail "no $library"
soname=$(readelf -d "$library" | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')
[[ $soname =~ ^libreplikon\.so\.[0-9]+$ ]] || fail "SONAME is '$soname'"
symbols=$(nm -D --defined-only -C "$library" | cut -d' ' -f3-)
count=$(grep -c . <<<"$symbols")
foreign=$(grep -vE '^((typeinfo( name)?|vtable|VTT|(non-)?virtual thunk to|guard variable) for )?replikon::' <<<"$symbols" |
  grep -vE '^(_init|_fini|_edata|_end|__bss_start)$' || true)
[[ -z $foreign ]] || fail "the library exports symbols that are not Replikon's:
$(head -20 <<<"$foreign")"
echo "libreplikon: SONAME $soname, $count exported symbols, all replikon::"

# The installed command rebuilds a Stream through the sample server's library,
# built against the shared library and found by name.
if [[ -f $build/servers/OrdersLib.so ]]; then
  env -u LD_LIBRARY_PATH "$prefix/bin/replikon" demo --dir "$work/demo" >"$work/demo.log" 2>&1 ||
    { tail -20 "$work/demo.log"; fail "replikon demo"; }
  loaded=$(env -u LD_LIBRARY_PATH REPLIKON_SERVER_PATH="$build/servers" "$prefix/bin/replikon" load \
    "$work/demo/invoice.stream" --server OrdersLib 2>&1) || fail "replikon load through OrdersLib.so: $loaded"
  grep -q '^#0 Invoice$' <<<"$loaded" || fail "replikon load printed: $loaded"
  echo "the installed command rebuilt the demo's Stream through OrdersLib.so"
fi

# A program linked against the prefix through pkg-config finds the installed
# About program, not the build tree's.
"$cxx" -std=c++20 -o "$work/about_path" "$src/tests/consumer/about_path.cpp" \
  $(pkg-config --cflags --libs replikon) -Wl,-rpath,"$libdir" || fail "building a program with pkg-config"
installed_about=$(find "$prefix" -type f -name replikon-about -print -quit)
built_about=$(find "$build" -type f -name replikon-about -print -quit)
if [[ -z $installed_about ]]; then
  echo "note: the About program is not built (FLTK missing): its look-up is not checked"
  exit 0
fi
if [[ -n $built_about ]]; then
  mv "$built_about" "$built_about.moved"
  trap 'mv "$built_about.moved" "$built_about"' EXIT
fi
found=$(env -u REPLIKON_ABOUT_PROGRAM "$work/about_path")
[[ $found -ef $installed_about ]] || fail "ShowAboutBox would start '$found', not $installed_about"
echo "the installed library starts $found"
