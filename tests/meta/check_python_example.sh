#!/usr/bin/env bash
# Runs the Python example and checks its closing line.
set -euo pipefail
lib="$1"; script="$2"
out=$(/usr/bin/python3 "$script" --lib "$lib" --buffers 4)
printf '%s\n' "$out"
grep -qx 'summary: 4 buffers, 4 classifications, 8 boxes, 0 mismatches' <<<"$out"
