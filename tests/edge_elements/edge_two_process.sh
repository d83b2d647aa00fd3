#!/bin/bash
# Two gst-launch-1.0 processes on a private loopback bus: a publisher with
# ovedgesink and a subscriber with ovedgesrc.  Usage: edge_two_process.sh CASE
#   pertag  - frames, boxes and devices on their own tag groups
#   uni     - the same in combined samples
#   frames  - a subscriber without taggroups gets frames and no results
#   sigint  - a subscriber without publisher ends soon after SIGINT
#   doc     - the sink's documented launch line runs to its end
#   batch   - two cameras in one batch, every frame published; a subscriber
#             follows the second camera only, at its own size
set -u
CASE=$1
SRC=${OV_SOURCE_DIR:?}
WORK=$(mktemp -d /tmp/edge-e2e-XXXXXX)
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill -9 "$p" 2>/dev/null; done
  rm -rf "$WORK"
}
trap cleanup EXIT

cp -r "$SRC/common/data_model/." "$WORK/"
# A bus domain of this test alone (the in-process tests use 1..200).
DOMAIN=$((201 + $$ % 29))
sed "s/<Domain id=\"any\">/<Domain id=\"$DOMAIN\">/" \
  "$SRC/common/data_model/config/TideMesh.loopback.xml" > "$WORK/config/TideMesh.xml"
export VXA_ROOT=$WORK
cd "$WORK/.." || exit 1
printf 'cam-7\naa:bb:cc:dd:ee:ff\n10.1.1.7\n8554\nrtsp://cam7\nAcme\nM1\nSN-7\nfw1\nid7\nonline\nipcam\nrtsp\n' > "$WORK/dev.txt"

fail() { echo "FAIL: $*"; [ -f "$WORK/sub.log" ] && tail -40 "$WORK/sub.log"; exit 1; }

# Starts the subscriber, waits until it is waiting for data.
subscribe() {
  timeout 30 gst-launch-1.0 "$@" > "$WORK/sub.log" 2>&1 &
  SUB=$!
  PIDS+=("$SUB")
  for _ in $(seq 100); do
    grep -q "waiting for mesh data" "$WORK/sub.log" && return 0
    sleep 0.1
  done
  fail "subscriber did not start"
}

publish() {
  timeout 30 gst-launch-1.0 -q videotestsrc is-live=true num-buffers=90 \
    ! video/x-raw,format=BGR,width=320,height=240,framerate=30/1 \
    ! ovmetawriter devinfo="$WORK/dev.txt" count-frame=true ! ovmetadebuger type=box class=car \
    ! ovedgesink "$@" > "$WORK/pub.log" 2>&1 &
  PUB=$!
  PIDS+=("$PUB")
}

# Frame numbers the dumper printed, one per line.
frame_numbers() { sed -n 's/.*Frame\[0\] Num:\([0-9]*\).*/\1/p' "$WORK/sub.log"; }

check_consecutive() {
  local want=$1 nums prev=""
  nums=$(frame_numbers)
  [ "$(echo "$nums" | grep -c .)" -eq "$want" ] || fail "expected $want frames, got: $nums"
  for n in $nums; do
    if [ -n "$prev" ] && [ "$n" -ne $((prev + 1)) ]; then fail "frame $n follows $prev"; fi
    prev=$n
  done
}

N=40
case $CASE in
  pertag|uni)
    if [ "$CASE" = uni ]; then SUBTG=uni; PUBTG=uni
    else SUBTG=DetectionBoxData+DeviceInfoData; PUBTG=VideoFrameData+DetectionBoxData+DeviceInfoData; fi
    subscribe ovedgesrc taggroups=$SUBTG num-buffers=$N ! video/x-raw,format=BGR ! ovmetadumper ! fakesink
    publish taggroups=$PUBTG
    wait "$SUB" || fail "subscriber failed"
    check_consecutive $N
    [ "$(grep -c 'Box\[0\].*label:car' "$WORK/sub.log")" -eq $N ] || fail "not every frame has its car"
    devices=$(grep -c 'Device\[0\] ID:cam-7' "$WORK/sub.log")
    if [ "$CASE" = uni ]; then
      [ "$devices" -eq $N ] || fail "not every frame has its device"
    else
      # The synchronizer gives the queued device to the first frame of a
      # pass and empties the queue: under load a frame may get none, but
      # never another device.
      [ "$devices" -ge $((N / 2)) ] || fail "only $devices frames have their device"
      ! grep 'Device\[0\] ID:' "$WORK/sub.log" | grep -qv 'ID:cam-7$\|ID:$' || fail "a foreign device"
    fi
    ;;
  frames)
    subscribe ovedgesrc num-buffers=$N ! video/x-raw,format=BGR ! ovmetadumper ! fakesink
    publish taggroups=VideoFrameData+DetectionBoxData
    wait "$SUB" || fail "subscriber failed"
    check_consecutive $N
    ! grep -q 'Box\[' "$WORK/sub.log" || fail "results arrived without being subscribed"
    ;;
  sigint)
    subscribe ovedgesrc ! fakesink
    sleep 1
    kill -INT "$SUB"
    start=$(date +%s%N)
    while kill -0 "$SUB" 2>/dev/null; do
      [ $(( ($(date +%s%N) - start) / 1000000 )) -lt 2000 ] || fail "still running 2 s after SIGINT"
      sleep 0.05
    done
    wait "$SUB"
    echo "ended $(( ($(date +%s%N) - start) / 1000000 )) ms after SIGINT"
    ;;
  batch)
    sed 's/^cam-7$/camera-0/' "$WORK/dev.txt" > "$WORK/cam0.txt"
    sed 's/^cam-7$/camera-1/; s/^SN-7$/SN-1/' "$WORK/dev.txt" > "$WORK/cam1.txt"
    subscribe ovedgesrc stream=camera-1 taggroups=DetectionBoxData+DeviceInfoData num-buffers=$N \
      ! video/x-raw,format=BGR ! ovmetadumper ! fakesink
    timeout 30 gst-launch-1.0 -q ovvideobatch name=b ! ovedgesink all-frames=true \
        taggroups=VideoFrameData+DetectionBoxData+DeviceInfoData \
      videotestsrc is-live=true num-buffers=90 ! video/x-raw,format=BGR,width=320,height=240,framerate=30/1 \
        ! ovmetawriter devinfo="$WORK/cam0.txt" ! ovmetadebuger type=box class=car0 ! b.sink_0 \
      videotestsrc is-live=true num-buffers=90 ! video/x-raw,format=BGR,width=256,height=192,framerate=30/1 \
        ! ovmetawriter devinfo="$WORK/cam1.txt" ! ovmetadebuger type=box class=car1 ! b.sink_1 \
      > "$WORK/pub.log" 2>&1 &
    PIDS+=("$!")
    wait "$SUB" || fail "subscriber failed"
    [ "$(frame_numbers | grep -c .)" -eq $N ] || fail "expected $N frames"
    [ "$(grep -c 'Frame\[0\] Num:[0-9]* (256, 192' "$WORK/sub.log")" -eq $N ] \
      || fail "not every frame is camera-1's own 256x192 picture"
    [ "$(grep -c 'Box\[0\].*label:car1' "$WORK/sub.log")" -eq $N ] || fail "not every frame has camera-1's box"
    ! grep -q 'label:car0' "$WORK/sub.log" || fail "a box of the other camera"
    ! grep 'Device\[0\] ID:' "$WORK/sub.log" | grep -qv 'ID:camera-1$\|ID:$' || fail "a foreign device"
    ;;
  doc)
    # The launch line of the element's doc comment.
    line=$(sed -n 's/^ \*   gst-launch-1.0 \(.*\) \\$/\1/p; s/^ \*       \(.*\)$/\1/p' \
      "$SRC/src/plugins/ovedge/elements/ovedgesink.cpp" | tr '\n' ' ')
    [ -n "$line" ] || fail "no launch line"
    # shellcheck disable=SC2086
    timeout 30 gst-launch-1.0 $line > "$WORK/doc.log" 2>&1 || { cat "$WORK/doc.log"; fail "doc line failed: $line"; }
    ;;
  *) fail "unknown case $CASE" ;;
esac
echo "PASS $CASE"
