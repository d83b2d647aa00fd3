#!/usr/bin/env bash
# gst-inspect-1.0 shows the element, its plug-in and both property enums with
# every value's number, nick and name.
set -euo pipefail
out="$(gst-inspect-1.0 ovtranslator 2>&1)"
fail=0
expect() {
  if ! grep -qF -- "$1" <<<"$out"; then
    echo "missing: $1" >&2
    fail=1
  fi
}
expect "Long-name                ovtranslator element"
expect "Klass                    AI/Translator"
expect "Description              orvane inference's translator"
expect "Description              Orvane translator elements"
expect "Version                  2.3.1"
expect "License                  LGPL"
expect 'Enum "OvAITopologyPattern" Default: 0, "none"'
expect "(0): none             - No-specific topology"
expect "(1): classifier       - Classifier"
expect "(3): ssd              - ssd"
expect "(2): yolov3           - YoloV3"
expect "(4): segment          - Segment"
expect "(6): fcn              - FCN"
expect 'Enum "OvAIEnginePattern" Default: 0, "none"'
expect "(0): none             - Non-specific engine"
expect "(1): openvino         - OpenVINO inference engine"
expect "(2): tensorrt         - TensorRT inference engine"
expect "Integer. Range: 0 - 65535 Default: 0"
# the topology table lists ssd (3) before yolov3 (2)
ssd_line=$(grep -n "(3): ssd" <<<"$out" | cut -d: -f1)
yolo_line=$(grep -n "(2): yolov3" <<<"$out" | cut -d: -f1)
if [ "$ssd_line" -ge "$yolo_line" ]; then
  echo "ssd is not listed before yolov3" >&2
  fail=1
fi
[ "$fail" = 0 ] && echo "gst-inspect ovtranslator: ok"
exit "$fail"
