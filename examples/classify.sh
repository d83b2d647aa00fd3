#!/usr/bin/env bash
# Colour classification of one stream with the bundled classifier: each frame
# gets one label, drawn as a banner and printed by the dumper.
#   examples/classify.sh [PATTERN] [OUT.png]     (PATTERN: red, green, blue, white, black, ...)
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"; BUILD="${OV_BUILD_DIR:-$ROOT/build}"; M="$BUILD/models"
export GST_PLUGIN_PATH="${GST_PLUGIN_PATH:-$BUILD/plugins}"
pattern="${1:-red}"; out="${2:-$ROOT/out/classify.png}"; mkdir -p "$(dirname "$out")"
gst-launch-1.0 -q \
  videotestsrc pattern="$pattern" num-buffers=5 ! video/x-raw,format=BGR,width=320,height=240 \
  ! ovmetawriter \
  ! ovrt model="$M/colour_classifier.engine" batch=1 scale=0.00392156862745098 mean="0 0 0" \
  ! ovtranslator topology=classifier label="$M/colour_classifier.labels" dims=1,8 \
  ! ovmetadumper ! ovmetadrawer ! videoconvert ! pngenc snapshot=true ! filesink location="$out"
echo "classified $pattern: $out"
