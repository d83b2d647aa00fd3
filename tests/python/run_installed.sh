#!/usr/bin/env bash
# Runs what a user runs from a fresh `cmake --install` prefix, from a folder
# outside the source and build trees, with only the prefix's plug-ins
# (GST_PLUGIN_PATH) and Python package (PYTHONPATH) on the paths.
#   run_installed.sh BUILD_DIR SOURCE_DIR CASE
#   module   - `import ovmeta` from the prefix, then the package's tests
#   inspect  - gst-inspect-1.0 finds every installed plug-in
#   readme   - the README's Python section, as written
#   example  - the installed Python example
#   bus      - an installed ovedgesink/ovedgesrc pair exchanging frames with
#              the installed bus configuration (no VXA_ROOT)
set -u
BUILD=$1; SRC=$2; CASE=$3
PREFIX=$(mktemp -d /tmp/ov-prefix-XXXXXX)
WORK=$(mktemp -d /tmp/ov-user-XXXXXX)
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill -9 "$p" 2>/dev/null; done
  rm -rf "$PREFIX" "$WORK"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

cmake --install "$BUILD" --prefix "$PREFIX" > "$WORK/install.log" || { cat "$WORK/install.log"; fail "install"; }
export GST_PLUGIN_PATH=$PREFIX/plugins
export PYTHONPATH=$PREFIX/lib/python3/dist-packages
export OV_TEST_PREFIX=$PREFIX
unset VXA_ROOT EDGE_PROPERTY
cd "$WORK" || fail "no work folder"

case $CASE in
  module)
    out=$(/usr/bin/python3 -c "import ovmeta; print(ovmeta.__file__); print(ovmeta.library_path)") \
      || fail "import ovmeta"
    echo "$out"
    while read -r path; do
      case $(realpath "$path") in "$(realpath "$PREFIX")"/*) ;; *) fail "$path is outside the prefix" ;; esac
    done <<<"$out"
    timeout 300 /usr/bin/python3 "$SRC/tests/python/test_ovmeta.py" || fail "package tests"
    ;;
  inspect)
    n=0
    for so in "$PREFIX"/plugins/*/lib*.so; do
      name=$(basename "$so" .so); name=${name#lib}
      gst-inspect-1.0 "$name" > "$WORK/inspect.log" 2>&1 || { cat "$WORK/inspect.log"; fail "plug-in $name not found"; }
      grep -q "Filename *$so" "$WORK/inspect.log" || fail "$name was not loaded from the prefix"
      n=$((n + 1))
    done
    [ "$n" -ge 5 ] || fail "only $n plug-ins installed"
    gst-inspect-1.0 ovedgesink > /dev/null || fail "ovedgesink"
    echo "$n plug-ins found from the prefix"
    ;;
  readme)
    # The one ```python block of the README, run as written.
    [ "$(grep -c '^```python$' "$SRC/README.md")" -eq 1 ] || fail "expected one python block in README.md"
    sed -n '/^```python$/,/^```$/p' "$SRC/README.md" | sed '1d;$d' > readme_example.py
    out=$(timeout 60 /usr/bin/python3 readme_example.py 2>&1) || { echo "$out"; fail "README python section"; }
    echo "$out"
    # Three frames, each with the debugger's car and the probe's label, and
    # its pixels seen through the numpy view.
    [ "$(grep -cx "[0-2] (320, 240) \['car'\] \['day'\]" <<<"$out")" -eq 3 ] || fail "README output"
    [ "$(grep -c '^mean pixel of frame 0: \[' <<<"$out")" -eq 3 ] || fail "README numpy output"
    ;;
  example)
    ex=$PREFIX/share/orvane/examples/python/batch_results.py
    [ -x "$ex" ] || fail "example not installed"
    out=$(timeout 60 "$ex" --buffers 4) || { echo "$out"; fail "example"; }
    echo "$out" | tail -3
    grep -qx 'summary: 4 buffers, 4 classifications, 8 boxes, 0 mismatches' <<<"$out" || fail "example summary"
    ;;
  bus)
    data=$PREFIX/share/orvane/vxa
    [ -f "$data/config/TideMesh.xml" ] || fail "bus configuration not installed"
    # Without its bus configuration, the error names the installed folder.
    mv "$data/config/TideMesh.xml" "$WORK/TideMesh.xml"
    timeout 30 gst-launch-1.0 ovedgesrc ! fakesink > missing.log 2>&1 && fail "ran without configuration"
    grep -q "search root (.*\"$data\")" missing.log || { cat missing.log; fail "error does not name $data"; }
    mv "$WORK/TideMesh.xml" "$data/config/TideMesh.xml"
    # A bus domain of this test alone (the other bus tests use 1..229).
    sed -i 's/<Domain id="any">/<Domain id="230">/' "$data/config/TideMesh.xml"
    timeout 60 gst-launch-1.0 ovedgesrc taggroups=DetectionBoxData num-buffers=20 \
      ! video/x-raw,format=BGR ! ovmetadumper ! fakesink > sub.log 2>&1 &
    SUB=$!; PIDS+=("$SUB")
    for _ in $(seq 200); do
      grep -q "waiting for mesh data" sub.log && break
      kill -0 "$SUB" 2>/dev/null || break
      sleep 0.1
    done
    grep -q "waiting for mesh data" sub.log || { cat sub.log; fail "subscriber did not start"; }
    timeout 60 gst-launch-1.0 -q videotestsrc is-live=true num-buffers=120 \
      ! video/x-raw,format=BGR,width=320,height=240,framerate=30/1 ! ovmetawriter \
      ! ovmetadebuger type=box class=installedcar ! ovedgesink taggroups=VideoFrameData+DetectionBoxData \
      > pub.log 2>&1 &
    PIDS+=("$!")
    wait "$SUB" || { tail -20 sub.log; fail "subscriber failed"; }
    grep -q "Find NodeKit configuration files under $data" sub.log || { head sub.log; fail "not the installed configuration"; }
    got=$(grep -c 'Box\[0\].*label:installedcar' sub.log)
    [ "$got" -eq 20 ] || { tail -20 sub.log; fail "$got of 20 frames with their box"; }
    echo "20 frames with their boxes over the installed configuration"
    ;;
  *) fail "unknown case $CASE" ;;
esac
echo "PASS $CASE"
