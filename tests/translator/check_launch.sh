#!/usr/bin/env bash
# The launch line documented at the top of the element runs to its end from
# the build tree and translates: every frame of the red test picture is
# classified "red".
#   check_launch.sh ELEMENT_SOURCE BUILD_DIR
set -euo pipefail
line=$(sed -n '/gst-launch-1.0 /,/fakesink/p' "$1" | sed 's/^ \* *//; s/\\$//' | tr -d '\n')
[ -n "$line" ] || { echo "no launch line in $1" >&2; exit 1; }
cd "$2"
echo "$line"
out=$(timeout 60 bash -c "$line" 2>&1) || { echo "$out"; exit 1; }
n=$(grep -c 'label:red prop:' <<<"$out" || true)
[ "$n" -eq 3 ] || { echo "$out"; echo "expected 3 frames classified red, saw $n" >&2; exit 1; }
echo "ok"
