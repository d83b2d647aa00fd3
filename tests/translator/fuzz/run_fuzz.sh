#!/usr/bin/env bash
# Builds the translator fuzz target with clang 14 (libFuzzer, address and
# undefined sanitizers) and runs it briefly over a seed corpus.
#   run_fuzz.sh WORKDIR SECONDS SOURCE_DIR META_INCLUDE_DIR
set -euo pipefail
work="$1"; seconds="$2"; src="$3"; meta="$4"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
CXX="${OV_FUZZ_CXX:-clang++-14}"
command -v "$CXX" >/dev/null || { echo "$CXX not found, cannot build the fuzz target" >&2; exit 1; }
mkdir -p "$work/corpus" "$work/seeds"
bin="$work/fuzz_translators"
# The segmentation grid bound is 64 Ki cells here instead of 8 Mi: the same
# checks at a size each input can fill in milliseconds.
"$CXX" -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -DOV_MAX_GRID_CELLS='(int64_t(1) << 16)' -I"$src" -I"$meta" -I"$meta/../element" $(pkg-config --cflags gobject-2.0) \
  "$here/fuzz_translators.cpp" "$src/trans_map.cpp" "$src/classifier.cpp" "$src/ssd.cpp" \
  "$src/yolov3.cpp" "$src/segment.cpp" "$src/translator_core.cpp" "$src/model_fit.cpp" \
  $(pkg-config --libs gobject-2.0) -o "$bin"
# seeds: a dims line, then float32 values
/usr/bin/python3 - "$work/seeds" <<'PY'
import struct, sys, os
out = sys.argv[1]
def seed(name, dims, values):
    with open(os.path.join(out, name), "wb") as f:
        f.write(dims.encode() + b"\n" + struct.pack("<%df" % len(values), *values))
seed("classifier", "1,0", [0.1, 0.7, 0.2])
seed("ssd", "1,1,2,7", [0, 1, 0.9, 0.1, 0.1, 0.5, 0.5, -1, 0, 0, 0, 0, 0, 0])
seed("yolo", "1,18,2,2,1,18,1,1", [0.9] * 90)
seed("segment", "1,2,2,2", [0.1, 0.9, 0.3, 0.2, 0.5, 0.4, 0.6, 0.7])
seed("fcn", "1,0,4,4,2,2,2", [0.1, 0.9, 0.3, 0.2, 0.5, 0.4, 0.6, 0.7])
PY
cd "$work"
# An input may still ask the decoders for large tensors' worth of work under
# the sanitizers on a busy machine, so only a far longer input counts as a
# hang.
"$bin" -seed=1 -max_total_time="$seconds" -timeout=60 -rss_limit_mb=2048 -print_final_stats=1 \
  corpus seeds 2>&1 | tail -n 20
