#!/usr/bin/env bash
# Builds tests/consumer/add_subdirectory, a project that adds Replikon with
# add_subdirectory, runs its program, and checks what the parent got: the
# library only (no command, tests, benchmarks or About program), no -Werror,
# and an install that holds the parent's program and nothing of Replikon.
#   add_subdirectory_test.sh SOURCE_DIR CXX WORK_DIR [CXX_FLAGS]
set -euo pipefail
src=$1 cxx=$2 work=$3 flags=${4:-}

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

rm -rf "$work"
mkdir -p "$work"
launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
cmake -S "$src/tests/consumer/add_subdirectory" -B "$work/build" -DREPLIKON_SOURCE_DIR="$src" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER="$cxx" "${launcher[@]}" \
  "-DCMAKE_CXX_FLAGS=$flags" "-DCMAKE_EXE_LINKER_FLAGS=$flags" >"$work/configure.log" 2>&1 ||
  { cat "$work/configure.log"; fail "configuring the parent project"; }
cmake --build "$work/build" -j2 --verbose >"$work/build.log" 2>&1 ||
  { tail -50 "$work/build.log"; fail "building the parent project"; }

out=$("$work/build/replikon_consumer") || fail "the parent's program failed: $out"
[[ $out == *"consumer: ok"* ]] || fail "the parent's program printed: $out"
echo "$out"

cache=$work/build/CMakeCache.txt
for option in REPLIKON_BUILD_TESTS REPLIKON_BUILD_BENCH REPLIKON_BUILD_TOOLS REPLIKON_BUILD_EXAMPLES \
  REPLIKON_ABOUT_BOX REPLIKON_INSTALL REPLIKON_WERROR; do
  grep -q "^$option:BOOL=OFF$" "$cache" || fail "$option is not OFF in a parent project"
done
grep -q -- -Werror "$work/build.log" && fail "-Werror reached the build"
built=$(find "$work/build/replikon" -type f -perm -u+x \( -name 'replikon' -o -name 'replikon_*' -o -name 'replikon-*' \) )
[[ -z $built ]] || fail "the parent built Replikon's programs: $built"

cmake --install "$work/build" --prefix "$work/prefix" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; fail "installing the parent project"; }
installed=$(cd "$work/prefix" && find . -type f | sort)
[[ $installed == "./bin/replikon_consumer" ]] || fail "the parent's install holds: $installed"
echo "the parent built and installed nothing of Replikon's own"
