#!/usr/bin/env bash
# Runs the gst-launch-1.0 line of the ovrt element's doc comment with an
# engine built from the generated identity network, and a batched variant.
#   test_ovrt_launch.sh ELEMENT_SOURCE BUILD_TOOL MODEL_DIR WORK_DIR
set -euo pipefail
src="$1"; tool="$2"; models="$3"; work="$4"
mkdir -p "$work"; cd "$work"
"$tool" --onnx "$models/identity_608x608.onnx" --max-batch 2 --save identity_608x608.engine >build.log
line=$(grep -m1 -o 'gst-launch-1.0 .*' "$src")
[ -n "$line" ] || { echo "no gst-launch line in $src"; exit 1; }
echo "running: $line"
eval "timeout 120 $line" >launch.log 2>&1 || { cat launch.log; exit 1; }
grep -q "Execution ended" launch.log || { cat launch.log; exit 1; }
# The same element with batch 2 on a stream whose frames need resizing.
timeout 120 gst-launch-1.0 videotestsrc num-buffers=3 ! video/x-raw,format=BGR,width=320,height=240 \
  ! ovrt model=identity_608x608.engine batch=2 ! fakesink >batch.log 2>&1 || { cat batch.log; exit 1; }
# A missing engine stops the pipeline with an error, it does not hang or crash.
if timeout 60 gst-launch-1.0 videotestsrc num-buffers=3 ! video/x-raw,format=BGR,width=32,height=32 \
    ! ovrt model=missing.engine ! fakesink >missing.log 2>&1; then
  echo "a missing engine was accepted"; cat missing.log; exit 1
fi
grep -q "ERROR" missing.log || { cat missing.log; exit 1; }
# ... and the error names the file.
grep -q "missing.engine" missing.log || { cat missing.log; exit 1; }
echo "ok"
