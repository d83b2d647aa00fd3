#!/usr/bin/env bash
# The launch line documented at the top of the element runs to its end.
set -euo pipefail
line=$(sed -n '/gst-launch-1.0 /,/fakesink/p' "$1" | sed 's/^ \* *//; s/\\$//' | tr -d '\n')
[ -n "$line" ] || { echo "no launch line in $1" >&2; exit 1; }
echo "$line"
timeout 60 bash -c "$line"
