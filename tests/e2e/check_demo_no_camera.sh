#!/usr/bin/env bash
# A demo program on a machine without a camera: prints the camera error,
# opens no window (never reaches "Start grabbing"), exits with -1 (255) and
# does not hang on its pipeline thread.
set -uo pipefail
prog="$1"
out=$(mktemp); err=$(mktemp); trap 'rm -f "$out" "$err"' EXIT
timeout 30 "$prog" >"$out" 2>"$err"
rc=$?
cat "$out" "$err" >&2
if [ "$rc" -eq 124 ]; then echo "FAIL: $prog did not end within 30 s"; exit 1; fi
if [ "$rc" -ne 255 ]; then echo "FAIL: exit status $rc, expected 255"; exit 1; fi
if ! grep -qx 'ERROR! Unable to open camera' "$err"; then echo "FAIL: no camera error on stderr"; exit 1; fi
if grep -q 'Start grabbing' "$out"; then echo "FAIL: it started grabbing"; exit 1; fi
echo "ok: $(basename "$prog") without camera: exit 255, camera error printed"
