/* Batch record helpers.  All messages go to the "ovmeta" category. */
#include "gstovmeta_utils.h"

#include "gstopencvutils.h"
#include "ov_gst_ptr.h"

#define GST_CAT_DEFAULT ov_meta_debug_category()

namespace {

GQuark numbering_quark() {
  static const GQuark q = g_quark_from_static_string("ov-frame-numbering");
  return q;
}

void free_numbering(gpointer p) { delete static_cast<OvFrameNumbering *>(p); }

DeviceInfoData device_named_after(const GstPad *pad) {
  DeviceInfoData device;
  ov::GCharPtr name(gst_object_get_name(GST_OBJECT(const_cast<GstPad *>(pad))));
  if (name)
    device.stream_id = name.get();
  return device;
}

std::string pad_name(GstPad *pad) {
  ov::GCharPtr name(pad ? gst_object_get_name(GST_OBJECT(pad)) : nullptr);
  return name ? name.get() : "";
}

}  // namespace

guint32 ov_pad_frame_id(GstPad *pad, GstBuffer *buffer) {
  const guint64 offset = buffer ? GST_BUFFER_OFFSET(buffer) : GST_BUFFER_OFFSET_NONE;
  if (!pad)
    return guint32(offset & 0xffffffffu);
  // The count lives on the pad: frames made from it are numbered per stream,
  // whoever makes them.  A pad's frames are made in its streaming thread.
  GObject *object = G_OBJECT(pad);
  auto *numbering =
      static_cast<OvFrameNumbering *>(g_object_get_qdata(object, numbering_quark()));
  if (!numbering) {
    if (offset != GST_BUFFER_OFFSET_NONE)
      return guint32(offset & 0xffffffffu);
    numbering = new OvFrameNumbering();
    g_object_set_qdata_full(object, numbering_quark(), numbering, free_numbering);
  }
  bool first_own = false;
  const guint32 id = numbering->id_for(offset, &first_own);
  if (first_own)
    GST_INFO_OBJECT(pad,
                    "buffers through %s carry no offset (a decoder, a network camera or an "
                    "application source): its frames are numbered from 0",
                    pad_name(pad).c_str());
  return id;
}

GstOvBatchMeta *try_get_ov_batch_meta(GstBuffer *buffer) {
  if (!buffer)
    return nullptr;
  if (GstOvBatchMeta *meta = gst_buffer_get_ov_batch_meta(buffer))
    return meta;
  GST_DEBUG("There is no batch meta in buffer so create it");
  if (!gst_buffer_is_writable(buffer))
    return nullptr;  // GStreamer refuses metadata on a shared buffer
  return reinterpret_cast<GstOvBatchMeta *>(
      gst_buffer_add_meta(buffer, gst_ov_batch_meta_get_info(), nullptr));
}

gboolean attach_videoframe_data_into_batch(OvBatch &batch, GstPad *pad,
                                           const unsigned &device_idx,
                                           const unsigned &frame_id) {
  ov::CapsPtr caps(pad ? gst_pad_get_current_caps(pad) : nullptr);
  if (!caps) {
    GST_ERROR("Get current caps failed");
    return FALSE;
  }
  int width = 0, height = 0;
  GError *err = nullptr;
  if (!gst_width_height_from_caps(caps.get(), &width, &height, &err)) {
    GST_ERROR("Get width and height from caps failed: %s", err ? err->message : "");
    g_clear_error(&err);
    return FALSE;
  }
  int cv_type = 0;
  guint depth = 0, channels = 0;
  if (!gst_cv_type_from_caps(caps.get(), &cv_type, &err)) {
    GST_WARNING("Parse cv type from caps failed: %s", err ? err->message : "");
    g_clear_error(&err);
  } else {
    depth = guint(CV_MAT_DEPTH(cv_type));
    channels = guint(CV_MAT_CN(cv_type));
  }

  VideoFrameData frame;
  frame.stream_id = " ";
  frame.frame_id = frame_id;
  frame.device_idx = device_idx;
  frame.width = guint(width);
  frame.height = guint(height);
  frame.depth = depth;
  frame.channels = channels;
  batch.frames.push_back(std::move(frame));
  return TRUE;
}

GstOvBatchMeta *attach_gst_pads_with_device_info(GstBuffer *buffer,
                                                 const DeviceInfoData &device,
                                                 const std::vector<GstPad *> &pads) {
  GstOvBatchMeta *meta = try_get_ov_batch_meta(buffer);
  if (!meta) {
    GST_ERROR("Can not get orvane batch metadata in GstBuffer");
    return nullptr;
  }
  const unsigned device_idx = unsigned(meta->batch.devices.size());
  meta->batch.devices.push_back(device);
  for (GstPad *pad : pads) {
    if (!attach_videoframe_data_into_batch(meta->batch, pad, device_idx,
                                           ov_pad_frame_id(pad, buffer)))
      GST_ERROR("Attach $d-th pads into frames failed");
  }
  return meta;
}

GstOvBatchMeta *attach_gst_pads(GstBuffer *buffer, const GstPad *pad) {
  if (!pad)
    return nullptr;
  return attach_gst_pads_with_device_info(buffer, device_named_after(pad),
                                          {const_cast<GstPad *>(pad)});
}

std::vector<cv::Mat> batch_image_to_mats(GstBuffer *buffer, GstPad *pad) {
  cv::Mat whole;
  if (!gst_pad_and_buffer_to_cv_mat(pad, buffer, whole)) {
    GST_ERROR("Parse batch image to opencv mat failed, so can not extract each mats");
    return {};
  }
  GstOvBatchMeta *meta = gst_buffer_get_ov_batch_meta(buffer);
  if (!meta) {
    GST_INFO("Gst buffer do not have orvane batch metadata so directly return Mat");
    return {whole};
  }
  const std::vector<DeviceInfoData> devices = meta->batch.devices;
  const std::vector<VideoFrameData> frames = meta->batch.frames;
  if (frames.empty()) {
    GST_INFO("Ovbatch metadata do not have any frames, so return entire mat");
    return {whole};
  }

  std::vector<cv::Mat> mats;
  mats.reserve(frames.size());
  const unsigned cols = unsigned(whole.cols);
  const unsigned rows = unsigned(whole.rows);
  unsigned offset = 0;
  for (unsigned i = 0; i < frames.size(); ++i) {
    const VideoFrameData &f = frames[i];
    if (f.device_idx < devices.size())
      GST_DEBUG("Parse %u-th frames with device %s", i, devices[f.device_idx].stream_id.c_str());
    else
      GST_DEBUG("Parse %u-th frames without device information", i);
    if (cols < f.width) {
      GST_ERROR("%u-th frame's width %u over batch image's width %u", i, f.width, cols);
      return {};
    }
    // 64-bit sum: a hostile height must not wrap around the check.
    if (guint64(offset) + f.height > rows) {
      GST_ERROR("%u-th frame's height %u and offset %u over batch image's height %u", i,
                f.height, offset, rows);
      return {};
    }
    mats.push_back(whole(cv::Rect(0, int(offset), int(f.width), int(f.height))));
    offset += f.height;
  }
  return mats;
}

size_t ov_batch_meta_grow_frames(GstOvBatchMeta *meta, GstBuffer *buffer, GstPad *pad,
                                 size_t count) {
  if (!meta)
    return 0;
  OvBatch &batch = meta->batch;
  if (batch.frames.size() >= count)
    return batch.frames.size();
  GST_DEBUG("Videoframe only %lu but need %lu frames", (unsigned long)batch.frames.size(),
            (unsigned long)count);
  const unsigned device_idx = unsigned(batch.devices.size());
  batch.devices.push_back(device_named_after(pad));
  const unsigned frame_id = ov_pad_frame_id(pad, buffer);
  const std::string name = pad_name(pad);
  for (size_t k = batch.frames.size(); k < count; ++k) {
    if (attach_videoframe_data_into_batch(batch, pad, device_idx, frame_id)) {
      GST_DEBUG("New frame %lu of %s done.", (unsigned long)k, name.c_str());
    } else {
      GST_ERROR("Attach new video frame failed");
    }
  }
  return batch.frames.size();
}

gboolean attach_inference_result(GstBuffer *buffer, GstPad *pad, const orvane::ai::Result &result,
                                 const std::map<int, int> &) {
  using namespace orvane::ai;
  GstOvBatchMeta *meta = try_get_ov_batch_meta(buffer);
  if (!meta) {
    GST_ERROR("Can not get orvane batch metadata in GstBuffer");
    return FALSE;
  }
  GST_DEBUG("Got orvane batch meta done");
  if (result.type != RESULT_CLASSIFICATION && result.type != RESULT_DETECTION_BOX &&
      result.type != RESULT_SEGMENTATION)
    return TRUE;

  const size_t entries = result.entries();
  const size_t frames = ov_batch_meta_grow_frames(meta, buffer, pad, entries);
  std::vector<VideoFrameData> &f = meta->batch.frames;
  for (size_t j = 0; j < entries && j < frames; ++j) {
    switch (result.type) {
      case RESULT_CLASSIFICATION:
        f[j].class_results.push_back(result.classification[j]);
        break;
      case RESULT_DETECTION_BOX:
        f[j].box_results.insert(f[j].box_results.end(), result.detection_box[j].begin(),
                                result.detection_box[j].end());
        break;
      case RESULT_SEGMENTATION:
        f[j].seg_results = result.segmentation[j];
        break;
    }
  }
  return TRUE;
}
