#!/usr/bin/env bash
# The sources build with GStreamer 1.14: tools/check-gst-api-floor finds no
# newer call outside a version guard; and it does find one where one is.
set -uo pipefail
root="$1"
check="$root/tools/check-gst-api-floor"
fail() { echo "FAIL: $*"; exit 1; }

out=$("$check" --floor 1.14 "$root/src" "$root/platform" "$root/demos")
rc=$?
echo "$out"
[ "$rc" -eq 0 ] || fail "the sources call GStreamer newer than 1.14 outside a version guard"

# The checker itself, on small sources: a 1.20 function and an inline 1.16
# helper are found; guarded, commented or quoted they are not.
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
cat > "$work/bad.cpp" <<'SRC'
void f(GstBuffer *b, GstVideoChromaSite s) {
  const gchar *c = gst_video_chroma_site_to_string (s);
  gst_clear_buffer(&b);
}
SRC
cat > "$work/good.cpp" <<'SRC'
void f(GstBuffer *b, GstVideoChromaSite s) {
#if GST_CHECK_VERSION(1, 20, 0)
  const gchar *c = gst_video_chroma_site_to_string(s);
#else
  const gchar *c = gst_video_chroma_to_string(s);
#endif
  /* gst_clear_buffer(&b) would need 1.16 */
  // gst_clear_buffer(&b);
  g_print("gst_clear_buffer(&b)");
  gst_buffer_unref(b);
}
SRC
out=$("$check" --floor 1.14 "$work/bad.cpp")
rc=$?
echo "$out"
[ "$rc" -eq 1 ] || fail "unguarded newer calls not reported (exit $rc)"
echo "$out" | grep -q 'bad.cpp:2: gst_video_chroma_site_to_string needs GStreamer 1.20' \
  || fail "the 1.20 call is not named"
echo "$out" | grep -q 'bad.cpp:3: gst_clear_buffer needs GStreamer 1.16' \
  || fail "the inline 1.16 helper is not named"
"$check" --floor 1.20 "$work/bad.cpp" >/dev/null || fail "with floor 1.20 nothing there is newer"
"$check" --floor 1.14 "$work/good.cpp" || fail "guarded, commented or quoted calls reported"
echo "ok: no GStreamer call newer than 1.14 outside a version guard"
