#!/usr/bin/env bash
# Runs `./ov demo` on this build with a short run and checks the summary: every
# frame in came out once, each stream's balls were boxed with a mean IoU of at
# least 0.7 and a latency was measured, the subscriber received frames with
# boxes from every camera (each followed on its own), and the output files exist.
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
# Streams that start more than a frame apart (a loaded machine) add repeated
# frames and empty slots to the batches; the summary names them apart.
grep -Eq '\[main-job\]   frames out: 120 new in [0-9]+ batches' "$log" \
  || fail "new frames out differ from frames in"
for s in 0 1 2 3; do
  line=$(grep -E "\[main-job\]   stream $s \([0-9]+x[0-9]+\): " "$log") || fail "no line for stream $s"
  echo "$line" | grep -Eq ": 30 in, 30 out \+ [0-9]+ repeated \+ [0-9]+ empty, (29|30) with a box, (29|30) detections, " \
    || fail "stream $s: frames lost or balls missed: $line"
  iou=$(echo "$line" | sed -E 's/.*mean IoU ([0-9.]+),.*/\1/')
  awk -v v="$iou" 'BEGIN { exit !(v >= 0.7) }' || fail "stream $s: mean IoU $iou below 0.7"
  echo "$line" | grep -Eq "latency p50 [0-9.]+ ms p99 [0-9.]+ ms" || fail "stream $s: no latency"
done
grep -Eq '\[main-job\]   subscriber: received [1-9][0-9]* frames, [1-9][0-9]* boxes' "$log" \
  || fail "the subscriber received no frames with boxes"
for s in 0 1 2 3; do
  grep -Eq "\[main-job\]   subscriber: camera-$s: [1-9][0-9]* frames, [1-9][0-9]* boxes" "$log" \
    || fail "the subscriber of camera-$s received no frames with boxes"
done
[ -s "$out/main-job.webm" ] || fail "no video file"
[ -s "$out/snapshot.png" ] || fail "no snapshot"
echo "ok: ./ov demo summary and output files"
