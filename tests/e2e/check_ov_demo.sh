#!/usr/bin/env bash
# Runs `./ov demo` on this build with a short run and checks the summary: every
# frame in came out, each stream has detections, the subscriber received
# frames with boxes, and the output files exist.
set -uo pipefail
root="$1"; build="$2"
out=$(mktemp -d); trap 'rm -rf "$out"' EXIT
log="$out/demo.log"
OV_BUILD_DIR="$build" timeout 500 "$root/ov" demo --frames 30 --out "$out" >"$log" 2>&1
rc=$?
cat "$log"
fail() { echo "FAIL: $*"; exit 1; }
[ "$rc" -eq 0 ] || fail "./ov demo exited with $rc"
grep -q '\[main-job\]   frames in:  120 (4 streams x 30)' "$log" || fail "no frames-in line"
grep -Eq '\[main-job\]   frames out: (12[0-9]|13[0-9]) in' "$log" || fail "frames lost"
for s in 0 1 2 3; do
  grep -Eq "\[main-job\]   stream $s: [0-9]+ frames, [1-9][0-9]* detections" "$log" \
    || fail "stream $s without detections"
done
grep -Eq '\[main-job\]   subscriber: received [1-9][0-9]* frames, [1-9][0-9]* boxes' "$log" \
  || fail "the subscriber received no frames with boxes"
[ -s "$out/main-job.webm" ] || fail "no video file"
[ -s "$out/snapshot.png" ] || fail "no snapshot"
echo "ok: ./ov demo summary and output files"
