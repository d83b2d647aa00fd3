// Caps negotiation of the batch element without a pipeline: the mix format,
// which inputs are converted, the output caps fitted to a peer, the caps a
// sink pad accepts.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "batch_caps.h"
#include "ov_test.h"

namespace {

using ovbatch::MixError;

using ovtest::CapsPtr;
using ovtest::make_caps;

GstVideoInfo info_of(const std::string &caps) {
  CapsPtr c = make_caps(caps);
  GstVideoInfo info;
  gst_video_info_init(&info);
  EXPECT_TRUE(c && gst_video_info_from_caps(&info, c.get())) << caps;
  return info;
}

GstVideoInfo input(const char *format, int w = 16, int h = 8, const char *extra = "") {
  return info_of(std::string("video/x-raw,format=") + format + ",width=" + std::to_string(w) +
                 ",height=" + std::to_string(h) + ",framerate=30/1" + extra);
}

GstVideoInfo no_caps() {
  GstVideoInfo info;
  gst_video_info_init(&info);
  return info;
}

std::string colorimetry(const GstVideoColorimetry &c) {
  gchar *s = gst_video_colorimetry_to_string(&c);
  std::string out = s ? s : "";
  g_free(s);
  return out;
}

TEST(BatchCaps, VoteIgnoresSizeAndRateButNotFormat) {
  CapsPtr bgr_small = make_caps("video/x-raw,format=BGR,width=10,height=10,framerate=5/1");
  const ovbatch::FormatVote v = ovbatch::vote_for(input("BGR", 640, 480), bgr_small.get());
  EXPECT_EQ(v.format, GST_VIDEO_FORMAT_BGR);
  EXPECT_TRUE(v.accepted);
  EXPECT_FALSE(v.has_alpha);
  EXPECT_FALSE(ovbatch::vote_for(input("I420"), bgr_small.get()).accepted);
  EXPECT_TRUE(ovbatch::vote_for(input("BGRA"), make_caps("video/x-raw").get()).has_alpha);
  // An input without caps has no say.
  const ovbatch::FormatVote none = ovbatch::vote_for(no_caps(), bgr_small.get());
  EXPECT_EQ(none.format, GST_VIDEO_FORMAT_UNKNOWN);
  EXPECT_FALSE(none.accepted);
}

TEST(BatchCaps, MixFormatIsTheWinnersWithItsColorimetry) {
  CapsPtr any = make_caps("video/x-raw");
  const ovbatch::MixChoice c =
      ovbatch::choose_mix_format({input("I420"), no_caps(), input("BGR"), input("BGR")}, any.get());
  ASSERT_EQ(c.error, MixError::kNone);
  EXPECT_EQ(c.mix.format, GST_VIDEO_FORMAT_BGR);
  EXPECT_EQ(colorimetry(c.mix.colorimetry), colorimetry(input("BGR").colorimetry));
  EXPECT_NE(colorimetry(c.mix.colorimetry), colorimetry(input("I420").colorimetry));
}

TEST(BatchCaps, MixFormatFallsBackToDownstreamOrFails) {
  // No input has caps: downstream's first format.
  CapsPtr list = make_caps("video/x-raw,format={ I420, BGR }");
  ovbatch::MixChoice c = ovbatch::choose_mix_format({no_caps()}, list.get());
  ASSERT_EQ(c.error, MixError::kNone);
  EXPECT_EQ(c.mix.format, GST_VIDEO_FORMAT_I420);
  // Refused inputs do not count either.
  CapsPtr bgr = make_caps("video/x-raw,format=BGR");
  c = ovbatch::choose_mix_format({input("I420"), input("I420")}, bgr.get());
  ASSERT_EQ(c.error, MixError::kNone);
  EXPECT_EQ(c.mix.format, GST_VIDEO_FORMAT_BGR);

  EXPECT_EQ(ovbatch::choose_mix_format({no_caps()}, make_caps("video/x-raw").get()).error,
            MixError::kNoFormat);
  EXPECT_EQ(ovbatch::choose_mix_format({input("BGR")}, CapsPtr(gst_caps_new_empty()).get()).error,
            MixError::kNoFormat);
  // Alpha in, none out.
  EXPECT_EQ(ovbatch::choose_mix_format({input("BGRA"), input("BGR")}, bgr.get()).error,
            MixError::kAlphaRefused);
  c = ovbatch::choose_mix_format({input("BGR"), input("BGRA")}, make_caps("video/x-raw").get());
  ASSERT_EQ(c.error, MixError::kNone);
  EXPECT_EQ(c.mix.format, GST_VIDEO_FORMAT_BGRA);
}

TEST(BatchCaps, ConversionWhenFormatColorimetryOrSitingDiffer) {
  const GstVideoInfo i420 = input("I420", 16, 8, ",pixel-aspect-ratio=4/3");
  ovbatch::MixFormat mix;
  mix.format = GST_VIDEO_FORMAT_I420;
  mix.colorimetry = i420.colorimetry;
  mix.chroma_site = GST_VIDEO_INFO_CHROMA_SITE(&i420);
  EXPECT_FALSE(ovbatch::needs_conversion(i420, mix));
  EXPECT_TRUE(ovbatch::needs_conversion(input("I420", 16, 8, ",colorimetry=bt709"), mix));
  ovbatch::MixFormat sited = mix;
  sited.chroma_site = GST_VIDEO_CHROMA_SITE_DV;
  EXPECT_TRUE(ovbatch::needs_conversion(i420, sited));

  const GstVideoInfo bgr = input("BGR", 16, 8);
  mix.format = GST_VIDEO_FORMAT_BGR;
  mix.colorimetry = bgr.colorimetry;
  mix.chroma_site = GST_VIDEO_INFO_CHROMA_SITE(&bgr);
  ASSERT_TRUE(ovbatch::needs_conversion(i420, mix));
  const GstVideoInfo t = ovbatch::conversion_target(i420, mix);
  EXPECT_EQ(GST_VIDEO_INFO_FORMAT(&t), GST_VIDEO_FORMAT_BGR);
  EXPECT_EQ(GST_VIDEO_INFO_WIDTH(&t), 16);
  EXPECT_EQ(GST_VIDEO_INFO_HEIGHT(&t), 8);
  EXPECT_EQ(GST_VIDEO_INFO_PAR_N(&t), 4);
  EXPECT_EQ(GST_VIDEO_INFO_PAR_D(&t), 3);
  EXPECT_EQ(GST_VIDEO_INFO_FPS_N(&t), 30);
  EXPECT_EQ(colorimetry(t.colorimetry), colorimetry(bgr.colorimetry));
  EXPECT_EQ(GST_VIDEO_INFO_SIZE(&t), gsize(16 * 3 * 8));

  // Renewed for another output format: the input's size, the target's colorimetry.
  const GstVideoInfo r = ovbatch::renew_conversion(t, GST_VIDEO_FORMAT_BGRx, input("I420", 8, 4));
  EXPECT_EQ(GST_VIDEO_INFO_FORMAT(&r), GST_VIDEO_FORMAT_BGRx);
  EXPECT_EQ(GST_VIDEO_INFO_WIDTH(&r), 8);
  EXPECT_EQ(GST_VIDEO_INFO_SIZE(&r), gsize(8 * 4 * 4));
  EXPECT_EQ(colorimetry(r.colorimetry), colorimetry(bgr.colorimetry));
}

ovbatch::MixFormat bgr_mix() {
  const GstVideoInfo bgr = input("BGR");
  ovbatch::MixFormat mix;
  mix.format = GST_VIDEO_FORMAT_BGR;
  mix.colorimetry = bgr.colorimetry;
  mix.chroma_site = GST_VIDEO_INFO_CHROMA_SITE(&bgr);
  return mix;
}

ovbatch::Layout layout(int w, int h, int fps_n, int fps_d) {
  ovbatch::Layout l;
  l.width = w;
  l.height = h;
  l.fps_n = fps_n;
  l.fps_d = fps_d;
  return l;
}

void expect_size(GstCaps *caps, int w, int h, int fps_n, int fps_d) {
  ASSERT_NE(caps, nullptr);
  ASSERT_TRUE(gst_caps_is_fixed(caps));
  GstVideoInfo info;
  ASSERT_TRUE(gst_video_info_from_caps(&info, caps));
  EXPECT_EQ(GST_VIDEO_INFO_FORMAT(&info), GST_VIDEO_FORMAT_BGR);
  EXPECT_EQ(GST_VIDEO_INFO_WIDTH(&info), w);
  EXPECT_EQ(GST_VIDEO_INFO_HEIGHT(&info), h);
  EXPECT_EQ(GST_VIDEO_INFO_FPS_N(&info), fps_n);
  EXPECT_EQ(GST_VIDEO_INFO_FPS_D(&info), fps_d);
}

TEST(BatchCaps, OutputCapsAreTheLayoutOrThePeersNearest) {
  const ovbatch::MixFormat mix = bgr_mix();
  CapsPtr free_out(ovbatch::output_caps(mix, layout(640, 720, 30, 1), nullptr));
  expect_size(free_out.get(), 640, 720, 30, 1);
  CapsPtr taker = make_caps("video/x-raw,format=BGR");
  CapsPtr taken(ovbatch::output_caps(mix, layout(640, 720, 30, 1), taker.get()));
  expect_size(taken.get(), 640, 720, 30, 1);

  CapsPtr bounded = make_caps(
      "video/x-raw,format={ BGR, I420 },width=[ 100, 200 ],height=[ 800, 900 ],"
      "framerate={ 15/1, 60/1 }");
  CapsPtr fitted(ovbatch::output_caps(mix, layout(640, 720, 25, 1), bounded.get()));
  expect_size(fitted.get(), 200, 800, 15, 1);

  CapsPtr other = make_caps("video/x-raw,format=I420");
  EXPECT_EQ(ovbatch::output_caps(mix, layout(640, 720, 30, 1), other.get()), nullptr);
}

TEST(BatchCaps, SinkPadsTakeAnySizeRateAndTemplateFormat) {
  CapsPtr tmpl = make_caps(
      "video/x-raw,format={ BGR, I420 },width=(int)[ 1, max ],height=(int)[ 1, max ],"
      "framerate=(fraction)[ 0, max ]");
  ASSERT_NE(tmpl.get(), nullptr);
  CapsPtr src =
      make_caps("video/x-raw,format=BGR,width=640,height=720,framerate=30/1,colorimetry=sRGB");
  CapsPtr sink(ovbatch::sink_pad_caps(src.get(), tmpl.get(), nullptr));
  ASSERT_NE(sink.get(), nullptr);
  auto takes = [&](GstCaps *caps, const std::string &s) {
    return bool(gst_caps_can_intersect(caps, make_caps(s).get()));
  };
  EXPECT_TRUE(takes(sink.get(), "video/x-raw,format=I420,width=32,height=16,framerate=5/1"));
  EXPECT_TRUE(takes(sink.get(), "video/x-raw,format=BGR,width=32,height=16,colorimetry=bt709"));
  EXPECT_FALSE(takes(sink.get(), "video/x-raw,format=GRAY8,width=32,height=16"));
  // The output's aspect ratio, 1/1 when it has none.
  EXPECT_FALSE(takes(sink.get(), "video/x-raw,format=BGR,pixel-aspect-ratio=2/1"));
  CapsPtr wide_src = make_caps("video/x-raw,format=BGR,width=8,height=8,pixel-aspect-ratio=2/1");
  CapsPtr wide(ovbatch::sink_pad_caps(wide_src.get(), tmpl.get(), nullptr));
  EXPECT_TRUE(takes(wide.get(), "video/x-raw,format=BGR,pixel-aspect-ratio=2/1"));
  EXPECT_FALSE(takes(wide.get(), "video/x-raw,format=BGR,pixel-aspect-ratio=1/1"));

  CapsPtr filter = make_caps("video/x-raw,format={ I420, GRAY8 }");
  CapsPtr filtered(ovbatch::sink_pad_caps(src.get(), tmpl.get(), filter.get()));
  EXPECT_TRUE(takes(filtered.get(), "video/x-raw,format=I420,width=32,height=16"));
  EXPECT_FALSE(takes(filtered.get(), "video/x-raw,format=BGR,width=32,height=16"));
}

TEST(BatchCaps, InputMustKeepTheOutputsAspectAndInterlacing) {
  const GstVideoInfo out = input("BGR", 64, 48, ",pixel-aspect-ratio=1/1");
  EXPECT_TRUE(ovbatch::input_fits_output(no_caps(), input("BGR", 8, 8, ",pixel-aspect-ratio=3/2")));
  EXPECT_TRUE(ovbatch::input_fits_output(out, input("I420", 8, 8)));
  EXPECT_FALSE(ovbatch::input_fits_output(out, input("BGR", 8, 8, ",pixel-aspect-ratio=3/2")));
  EXPECT_FALSE(ovbatch::input_fits_output(out, input("BGR", 8, 8, ",interlace-mode=interleaved")));
}

}  // namespace
