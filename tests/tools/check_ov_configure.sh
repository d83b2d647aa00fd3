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

# A tree configured earlier by <generator>, with its <build file>: built only.
expect_build_only() { # <name> <generator> <build file>
  local tree="$work/$1"; mkdir -p "$tree"
  echo "CMAKE_GENERATOR:INTERNAL=$2" >"$tree/CMakeCache.txt"
  touch "$tree/$3"
  run_build "$tree"
  [ "$(cat "$work/calls")" = "--build $tree -j 1" ] \
    || fail "$2 tree: expected only a build, cmake was called with: $(cat "$work/calls")"
}
# Made by a plain `cmake -B build` (Makefiles), and by Ninja.
expect_build_only make "Unix Makefiles" Makefile
expect_build_only ninja Ninja build.ninja

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
