#!/usr/bin/env bash
# `./ov build` over build trees made in different ways, with cmake replaced by
# a recorder: a configured tree keeps its generator (no -G, no reconfigure),
# a tree whose configure never finished is configured again without -G, and a
# new tree gets Ninja.
set -uo pipefail
root="$1"
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin"
cat >"$work/bin/cmake" <<'SH'
#!/bin/sh
echo "$*" >>"$OV_CMAKE_LOG"
SH
printf '#!/bin/sh\nexit 0\n' >"$work/bin/ninja"
chmod +x "$work/bin/cmake" "$work/bin/ninja"
# install-deps is not under test: an empty stand-in script tree.
mkdir -p "$work/tree/scripts"
cp "$root/ov" "$work/tree/ov"
printf '#!/bin/sh\nexit 0\n' >"$work/tree/scripts/install-deps.sh"
chmod +x "$work/tree/scripts/install-deps.sh"

fail() { echo "FAIL: $*"; exit 1; }
run_build() { # <build dir> -> cmake calls in $work/calls
  : >"$work/calls"
  PATH="$work/bin:$PATH" OV_CMAKE_LOG="$work/calls" OV_BUILD_DIR="$1" OV_JOBS=1 \
    "$work/tree/ov" build >"$work/out" 2>&1 || { cat "$work/out"; fail "./ov build failed in $1"; }
}

# Made by a plain `cmake -B build` (Makefiles).
make_tree="$work/make"; mkdir -p "$make_tree"
echo "CMAKE_GENERATOR:INTERNAL=Unix Makefiles" >"$make_tree/CMakeCache.txt"
touch "$make_tree/Makefile"
run_build "$make_tree"
[ "$(cat "$work/calls")" = "--build $make_tree -j 1" ] \
  || fail "Makefile tree: expected only a build, cmake was called with: $(cat "$work/calls")"

# Configured by Ninja earlier.
ninja_tree="$work/ninja"; mkdir -p "$ninja_tree"
echo "CMAKE_GENERATOR:INTERNAL=Ninja" >"$ninja_tree/CMakeCache.txt"
touch "$ninja_tree/build.ninja"
run_build "$ninja_tree"
[ "$(cat "$work/calls")" = "--build $ninja_tree -j 1" ] \
  || fail "Ninja tree: expected only a build, cmake was called with: $(cat "$work/calls")"

# A cache but no build files: configured again, the cached generator kept.
broken="$work/broken"; mkdir -p "$broken"
echo "CMAKE_GENERATOR:INTERNAL=Unix Makefiles" >"$broken/CMakeCache.txt"
run_build "$broken"
head -n1 "$work/calls" | grep -q -- "-B $broken" || fail "unfinished tree not configured again"
grep -q -- "-G" "$work/calls" && fail "unfinished tree configured with a generator: $(cat "$work/calls")"

# A new tree: Ninja, since it is installed.
fresh="$work/fresh"
run_build "$fresh"
head -n1 "$work/calls" | grep -q -- "-B $fresh -G Ninja" \
  || fail "new tree not configured with Ninja: $(cat "$work/calls")"
tail -n1 "$work/calls" | grep -q -- "--build $fresh" || fail "new tree not built"
echo "ok: ./ov builds each tree with its own generator"
