#!/usr/bin/env bash
# Prepares the benchmark networks (cached under WORK) and runs the inference
# benchmarks: yolov3 and yolov3-tiny at 416, batch 1 and 4, ovrt against a
# bare OpenCV DNN forward; preprocessing against blobFromImages.
#   run_infer_bench.sh BENCH TOOL SOURCE_DIR WORK [ITERATIONS]
set -euo pipefail
bench="$1"; tool="$2"; src="$3"; work="$4"; iterations="${5:-3}"
py=/usr/bin/python3
cfgdir=/usr/share/darknet/cfg
mkdir -p "$work"; cd "$work"
"$py" "$src/tests/infer/models/make_test_models.py" models >/dev/null
[ -f identity_416.engine ] || "$tool" --onnx models/identity_416x416.onnx --max-batch 4 --save identity_416.engine >/dev/null
"$bench" preprocess identity_416.engine 200

run() { # name cfg heads
  local name="$1" cfg="$2" heads="$3"
  [ -f "$name.weights" ] || "$py" "$src/tools/darknet-weights.py" "$cfg" "$name.weights" >/dev/null
  for batch in 1 4; do
    [ -f "$name-b$batch.engine" ] || "$tool" --darknet "$cfg" --weights "$name.weights" \
        --input-size 416x416 --max-batch "$batch" --save "$name-b$batch.engine" >/dev/null
    OV_BENCH_INPUT=416 "$bench" pipeline "$name-b$batch.engine" "$cfg" "$name.weights" "$heads" "$batch" "$iterations"
  done
}
run yolov3-tiny "$cfgdir/yolov3-tiny.cfg" conv_15,conv_22
run yolov3 "$cfgdir/yolov3.cfg" conv_81,conv_93,conv_105
