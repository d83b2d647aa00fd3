/* Caps negotiation of the batch element, without the element: the format the
 * inputs are stacked in, which inputs are converted to it and into what, the
 * output caps fitted to downstream, and the caps a sink pad accepts. */
#ifndef OV_BATCH_CAPS_H
#define OV_BATCH_CAPS_H

#include <vector>

#include <gst/gst.h>
#include <gst/video/video.h>

#include "batch_layout.h"

namespace ovbatch {

/* One negotiated input's say in the output format. */
struct FormatVote {
  GstVideoFormat format = GST_VIDEO_FORMAT_UNKNOWN;
  bool has_alpha = false;
  bool accepted = false; /* downstream takes this format */
};

struct FormatChoice {
  GstVideoFormat format = GST_VIDEO_FORMAT_UNKNOWN; /* UNKNOWN: no input qualified */
  int winner = -1;                                  /* index of the first vote of that format */
  bool any_alpha_input = false;
};

/* The format most accepted inputs use (ties: the one met first); once an
 * input with alpha is met only alpha formats count, and it leads at once. */
FormatChoice choose_output_format(const std::vector<FormatVote> &votes);

/* The vote of an input with caps `input` (UNKNOWN format: no caps yet, no
 * vote): accepted when `downstream` takes its format, colorimetry and chroma
 * siting whatever the size, rate, aspect and interlacing. */
FormatVote vote_for(const GstVideoInfo &input, const GstCaps *downstream);

/* What the inputs are stacked in. */
struct MixFormat {
  GstVideoFormat format = GST_VIDEO_FORMAT_UNKNOWN;
  GstVideoColorimetry colorimetry{};
  GstVideoChromaSite chroma_site = GST_VIDEO_CHROMA_SITE_UNKNOWN;
};

enum class MixError {
  kNone,
  kNoFormat,     /* downstream takes nothing, or nothing with a format */
  kAlphaRefused, /* an input has alpha, the chosen format has none */
};

struct MixChoice {
  MixFormat mix;
  MixError error = MixError::kNone;
};

/* The mix format for inputs `inputs` (in pad order) under what `downstream`
 * allows: the winning input's format, colorimetry and siting, or, when no
 * input qualifies, the format downstream's caps fixate to. */
MixChoice choose_mix_format(const std::vector<GstVideoInfo> &inputs, const GstCaps *downstream);

/* Whether `input` must be converted before it is stacked in `mix`. */
bool needs_conversion(const GstVideoInfo &input, const MixFormat &mix);

/* What `input` is converted to: `mix` at the input's size, aspect and rate. */
GstVideoInfo conversion_target(const GstVideoInfo &input, const MixFormat &mix);

/* A pad's conversion target renewed for the negotiated output format
 * `out_format`: the input's size, the target's colorimetry and siting. */
GstVideoInfo renew_conversion(const GstVideoInfo &target, GstVideoFormat out_format,
                              const GstVideoInfo &input);

/* The output caps: `mix` at the layout's size and rate.  When `peer` (may be
 * nullptr: anything goes) refuses them, the peer's caps nearest to that size
 * and rate instead.  nullptr when the peer and the format have nothing in
 * common. */
GstCaps *output_caps(const MixFormat &mix, const Layout &layout, const GstCaps *peer);

/* The caps a sink pad accepts: those of the source (`src_caps`, current or
 * template) at any size and rate and in any format (an unset aspect ratio
 * taken as 1/1), within the sink template, then within `filter` (may be
 * nullptr) in the filter's order. */
GstCaps *sink_pad_caps(const GstCaps *src_caps, const GstCaps *sink_template,
                       const GstCaps *filter);

/* Whether an input with caps `input` can join an output running with
 * `output`: the same aspect ratio and interlacing (anything before the output
 * has a format). */
bool input_fits_output(const GstVideoInfo &output, const GstVideoInfo &input);

}  // namespace ovbatch

#endif /* OV_BATCH_CAPS_H */
