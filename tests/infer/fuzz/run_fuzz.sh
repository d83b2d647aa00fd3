#!/usr/bin/env bash
# Builds a libFuzzer target with clang 14 (address + undefined sanitizers)
# and runs it briefly over a seed corpus.
#   run_fuzz.sh NAME WORKDIR SECONDS SEED_COMMAND -- SOURCES... [-I dirs]
set -euo pipefail
name="$1"; work="$2"; seconds="$3"; seeder="$4"; shift 4
[ "$1" = "--" ] && shift
CXX="${OV_FUZZ_CXX:-clang++-14}"
if ! command -v "$CXX" >/dev/null; then
  echo "$name: $CXX not found, cannot build the fuzz target" >&2
  exit 1
fi
mkdir -p "$work/corpus" "$work/seeds"
bin="$work/$name"
"$CXX" -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  "$@" -o "$bin"
"$seeder" "$work/seeds"
cd "$work"
"$bin" -seed=1 -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
  corpus seeds 2>&1 | tail -n 20
