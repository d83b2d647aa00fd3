#!/usr/bin/env bash
# ov-build-engine end to end: builds engines from a generated ONNX network
# and from the yolov3-tiny cfg with generated weights, and refuses broken
# inputs and arguments with a message.
#   test_ov_build_engine.sh TOOL SOURCE_DIR WORK_DIR
set -uo pipefail
tool="$1"; src="$2"; work="$3"
py=/usr/bin/python3
cfg=/usr/share/darknet/cfg/yolov3-tiny.cfg
rm -rf "$work"; mkdir -p "$work"; cd "$work"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# expect_ok NAME ARGS...: exits 0 and writes the engine file
expect_ok() {
  local name="$1"; shift
  if ! "$tool" "$@" >"$name.out" 2>"$name.err"; then
    fail "$name: exit $?"; cat "$name.out" "$name.err"; return 1
  fi
  return 0
}
# expect_refusal NAME PATTERN ARGS...: non-zero exit, stderr matches, no engine left
expect_refusal() {
  local name="$1" pattern="$2"; shift 2
  rm -f refused.engine
  if "$tool" "$@" >"$name.out" 2>"$name.err"; then
    fail "$name: accepted"; return
  fi
  grep -q -- "$pattern" "$name.err" || { fail "$name: stderr lacks '$pattern'"; cat "$name.err"; }
  [ ! -e refused.engine ] || fail "$name: left an engine file behind"
}

"$py" "$src/tests/infer/models/make_test_models.py" models >/dev/null || fail "model generation"

# ONNX, two outputs, default output order is the network's.
if expect_ok onnx --onnx models/two_outputs.onnx --max-batch 3 --save two.engine; then
  grep -q "binding 0  input   data  3x4x4  float" onnx.out || fail "onnx: input binding line"
  grep -q "output  full  3x4x4  float  576 bytes" onnx.out || fail "onnx: full binding line"
  grep -q "output  pooled  3x1x1  float  36 bytes" onnx.out || fail "onnx: pooled binding line"
  grep -q "verified: one run at batch 3" onnx.out || fail "onnx: verification line"
  [ "$(head -c 8 two.engine)" = "OVTRTENG" ] || fail "onnx: engine magic"
fi
# --outputs picks and orders the bindings.
if expect_ok onnx_outputs --onnx models/two_outputs.onnx --outputs pooled,full --save two_r.engine; then
  grep -n "output" onnx_outputs.out | grep "binding 1  output  pooled" >/dev/null || fail "--outputs order"
fi

# An engine ending in the YOLO layer, fed by three raw heads at 608x608.
if expect_ok yolo_plugin --onnx models/yolo_heads.onnx --yolo-plugin --max-batch 2 --save yolo.engine; then
  grep -q "output  yolo-det  136459x1x1  float  (plug-in layer yolo-det)  1091672 bytes" yolo_plugin.out \
    || fail "yolo-plugin: binding line"
fi
expect_refusal yolo_plugin_heads "needs 3 raw heads" --onnx models/two_outputs.onnx --yolo-plugin --save refused.engine

# Darknet yolov3-tiny with generated weights of the right size: raw heads.
if [ -r "$cfg" ]; then
  "$py" "$src/tools/darknet-weights.py" "$cfg" tiny.weights >/dev/null || fail "weights generation"
  if expect_ok darknet --darknet "$cfg" --weights tiny.weights --input-size 416x416 --save tiny.engine; then
    grep -q "output  conv_15  255x13x13" darknet.out || fail "darknet: conv_15 head"
    grep -q "output  conv_22  255x26x26" darknet.out || fail "darknet: conv_22 head"
  fi
  # A truncated weights file would load silently broken: refused.
  head -c 1000000 tiny.weights > short.weights
  expect_refusal truncated "needs 35434956" --darknet "$cfg" --weights short.weights --save refused.engine
  # One byte too many is refused as well.
  { cat tiny.weights; printf 'x'; } > long.weights
  expect_refusal long_weights "refusing" --darknet "$cfg" --weights long.weights --save refused.engine
else
  fail "$cfg missing (darknet package)"
fi

# Caffe: a weightless pooling network, input size from input_dim.
cat > pool.prototxt <<'PROTO'
name: "pool"
input: "data"
input_dim: 1
input_dim: 3
input_dim: 4
input_dim: 4
layer {
  name: "pool"
  type: "Pooling"
  bottom: "data"
  top: "pool"
  pooling_param { pool: AVE kernel_size: 2 stride: 2 }
}
PROTO
if expect_ok caffe --caffe pool.prototxt --max-batch 2 --save pool.engine; then
  grep -q "output  pool  3x2x2  float  96 bytes" caffe.out || fail "caffe: binding line"
fi
sed 's/input_dim: [0-9]*//' pool.prototxt > nodims.prototxt
expect_refusal caffe_no_size "input-size" --caffe nodims.prototxt --save refused.engine

# Bad arguments and files.
expect_refusal no_model "exactly one" --save refused.engine
expect_refusal two_models "exactly one" --onnx a --darknet b --save refused.engine
expect_refusal no_save "--save FILE is required" --onnx models/two_outputs.onnx
expect_refusal no_weights "needs --weights" --darknet "$cfg" --save refused.engine
expect_refusal onnx_weights "not --onnx" --onnx models/two_outputs.onnx --weights x --save refused.engine
expect_refusal bad_batch "max-batch needs" --onnx models/two_outputs.onnx --max-batch 0 --save refused.engine
expect_refusal bad_batch_text "max-batch needs" --onnx models/two_outputs.onnx --max-batch four --save refused.engine
expect_refusal bad_size "WxH" --onnx models/two_outputs.onnx --input-size 416 --save refused.engine
expect_refusal unknown_arg "unknown argument" --onnx models/two_outputs.onnx --fast --save refused.engine
expect_refusal missing_file "cannot read" --onnx nowhere.onnx --save refused.engine
expect_refusal unknown_layer "no layer 'nope'" --onnx models/two_outputs.onnx --outputs nope --save refused.engine
printf 'not a model' > junk.onnx
expect_refusal junk_onnx "not an ONNX model" --onnx junk.onnx --save refused.engine
printf '[convolutional]\nfilters=2\n' > nonet.cfg
expect_refusal cfg_without_net "\[net\]" --darknet nonet.cfg --weights tiny.weights --save refused.engine
printf '[net]\nwidth=8\nheight=8\n[lstm]\n' > lstm.cfg
expect_refusal unsupported_layer "not supported" --darknet lstm.cfg --weights tiny.weights --save refused.engine

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)"; exit 1
fi
echo "all ov-build-engine checks passed"
