#!/usr/bin/env bash
# Runs the shipped example pipelines on this build; each must end cleanly and
# leave its picture(s).
set -uo pipefail
root="$1"; build="$2"
out=$(mktemp -d); trap 'rm -rf "$out"' EXIT
export OV_BUILD_DIR="$build"
fail=0
run() { echo "== $*"; timeout 120 "$@" || { echo "FAIL: $* exited with $?"; fail=1; }; }
run "$root/examples/classify.sh" green "$out/classify.png"
run "$root/examples/segment.sh" "$out/segment.png"
run "$root/examples/detect.sh" "$out/detect"
for f in "$out/classify.png" "$out/segment.png" "$out/detect/batch-000.png"; do
  [ -s "$f" ] || { echo "FAIL: no $f"; fail=1; }
done
[ "$(ls "$out/detect" | wc -l)" -eq 10 ] || { echo "FAIL: expected 10 detection batches"; fail=1; }
[ "$fail" = 0 ] && echo "ok: examples ran"
exit "$fail"
