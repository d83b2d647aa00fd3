#!/usr/bin/env bash
# Ball detection on two batched streams with the bundled YOLOv3-form detector,
# drawn and written as one stacked PNG per batch.
#   examples/detect.sh [OUT_DIR]
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"; BUILD="${OV_BUILD_DIR:-$ROOT/build}"; M="$BUILD/models"
export GST_PLUGIN_PATH="${GST_PLUGIN_PATH:-$BUILD/plugins}"
out="${1:-$ROOT/out/detect}"; mkdir -p "$out"
gst-launch-1.0 -q \
  ovvideobatch name=b \
  ! ovrt model="$M/ball_detector.engine" batch=2 scale=0.00392156862745098 mean="0 0 0" \
  ! ovtranslator topology=yolov3 engine_type=tensorrt label="$M/ball_detector.labels" \
      dims=2,18,13,13,2,18,26,26,2,18,52,52 input_width=416 input_height=416 \
  ! ovmetadrawer ! videoconvert ! pngenc ! multifilesink location="$out/batch-%03d.png" \
  videotestsrc pattern=ball num-buffers=10 ! video/x-raw,format=BGR,width=320,height=240 \
  ! ovmetawriter ! b.sink_0 \
  videotestsrc pattern=ball num-buffers=10 ! video/x-raw,format=BGR,width=256,height=192 \
  ! ovmetawriter ! b.sink_1
echo "detections drawn: $out/batch-*.png"
