#!/bin/sh
# Runs the gst-launch-1.0 line of each element file's opening comment with
# the real program, as a user would.
set -eu
dir="$1"
status=0
for f in ovinfer_draw.cpp metawriter.cpp ovmetadumper.cpp ovmetadebuger.cpp; do
  line=$(sed -n 's/^ *\*  *gst-launch-1\.0 //p' "$dir/$f" | head -n 1)
  if [ -z "$line" ]; then
    echo "no launch line in $f" >&2
    status=1
    continue
  fi
  echo "== $f: gst-launch-1.0 $line"
  # The line is a pipeline description: split it into words as a shell would.
  if ! eval "timeout 60 gst-launch-1.0 -q $line" >/dev/null; then
    echo "launch line of $f failed" >&2
    status=1
  fi
done
exit $status
