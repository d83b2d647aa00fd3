#!/usr/bin/env bash
# Colour segmentation of the SMPTE bars with the bundled segmenter: a 16 x 16
# grid of colour classes per frame, drawn as a colour map over the frame.
#   examples/segment.sh [OUT.png]
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"; BUILD="${OV_BUILD_DIR:-$ROOT/build}"; M="$BUILD/models"
export GST_PLUGIN_PATH="${GST_PLUGIN_PATH:-$BUILD/plugins}"
out="${1:-$ROOT/out/segment.png}"; mkdir -p "$(dirname "$out")"
gst-launch-1.0 -q \
  videotestsrc pattern=smpte num-buffers=5 ! video/x-raw,format=BGR,width=640,height=480 \
  ! ovmetawriter \
  ! ovrt model="$M/colour_segmenter.engine" batch=1 scale=0.00392156862745098 mean="0 0 0" \
  ! ovtranslator topology=segment label="$M/colour_segmenter.labels" dims=1,8,16,16 \
  ! ovmetadrawer opacity=0.5 ! videoconvert ! pngenc snapshot=true ! filesink location="$out"
echo "segmented the bars: $out"
