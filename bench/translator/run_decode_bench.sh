#!/usr/bin/env bash
# run_decode_bench.sh BENCH_BINARY DATA_DIR [bench args...]
# Generates deterministic yolov3 weights once (no trained weights here), then
# prints decode time per frame against the forward time.
set -euo pipefail
bin="$1"; data="$2"; shift 2
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cfg=/usr/share/darknet/cfg/yolov3.cfg
[ -f "$cfg" ] || { echo "no $cfg (Debian package darknet)" >&2; exit 1; }
mkdir -p "$data"
weights="$data/yolov3-seed1.weights"
if [ ! -s "$weights" ]; then
  /usr/bin/python3 "$root/tools/darknet-weights.py" "$cfg" "$weights.tmp" --seed 1 >/dev/null
  mv "$weights.tmp" "$weights"
fi
echo "machine: $(nproc) cores, load average $(cut -d" " -f1-3 /proc/loadavg)"
exec "$bin" --cfg "$cfg" --weights "$weights" "$@"
