#!/usr/bin/env bash
# Runs the Python example with the build tree's ovmeta package and checks its
# closing line.
set -euo pipefail
pydir="$1"; script="$2"
out=$(PYTHONPATH="$pydir" /usr/bin/python3 "$script" --buffers 4)
printf '%s\n' "$out"
grep -qx 'summary: 4 buffers, 4 classifications, 8 boxes, 0 mismatches' <<<"$out"
