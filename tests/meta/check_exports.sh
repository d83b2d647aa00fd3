#!/usr/bin/env bash
# Checks the metadata library's dynamic symbol table: every plain function by
# its bare name, every C++ function by its demangled signature.
set -euo pipefail
lib="$1"
syms=$(nm -D --defined-only "$lib" | awk '{print $3}')
demangled=$(printf '%s\n' "$syms" | c++filt)
# Each name is looked up in a here-string: with pipefail, a `printf | grep -q`
# fails whenever grep stops at its match before printf has written the rest.
fail=0
plain=(gst_width_height_from_caps gst_opencv_cv_image_type_from_video_format gst_cv_type_from_caps
  gst_opencv_cv_mat_params_from_video_info gst_opencv_parse_cv_mat_params_from_caps
  gst_opencv_caps_from_cv_image_type gst_videoframe_to_cv_mat gst_buffer_to_cv_mat
  gst_pad_and_buffer_to_cv_mat gst_metadata_frames gst_metadata_get_classification
  gst_metadata_get_detection_box gst_metadata_set_classification gst_metadata_set_detection_box
  gst_metadata_free_classification gst_metadata_free_detection_box
  gst_metadata_get_devices gst_metadata_get_frame_info gst_metadata_get_segmentation
  gst_metadata_get_segmentation_labels gst_metadata_free_devices gst_metadata_free_frame_info
  gst_metadata_free_segmentation gst_metadata_free_segmentation_labels)
for s in "${plain[@]}"; do
  if ! grep -qx "$s" <<<"$syms"; then echo "missing plain export: $s"; fail=1; fi
done
mangled=("gst_ov_meta_api_get_type()" "gst_ov_meta_get_info()" "gst_ov_batch_meta_api_get_type()"
  "gst_ov_batch_meta_get_info()" "gst_buffer_get_ov_meta(_GstBuffer*)"
  "gst_buffer_get_ov_batch_meta(_GstBuffer*)" "try_get_ov_batch_meta(_GstBuffer*)"
  "attach_videoframe_data_into_batch(OvBatch&, _GstPad*, unsigned int const&, unsigned int const&)"
  "attach_gst_pads_with_device_info(_GstBuffer*, DeviceInfoData const&, std::vector<_GstPad*, std::allocator<_GstPad*> > const&)"
  "attach_gst_pads(_GstBuffer*, _GstPad const*)" "batch_image_to_mats(_GstBuffer*, _GstPad*)"
  "attach_inference_result(_GstBuffer*, _GstPad*, orvane::ai::Result const&, std::map<int, int, std::less<int>, std::allocator<std::pair<int const, int> > > const&)"
  "metadata_frames(GstOvBatchMeta*)"
  "copy_str_to_char(std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> > const&, char**)")
for s in "${mangled[@]}"; do
  if ! grep -qxF "$s" <<<"$demangled"; then echo "missing export: $s"; fail=1; fi
  if grep -qx "${s%%(*}" <<<"$syms"; then echo "exported unmangled but must be mangled: $s"; fail=1; fi
done
n=$(( ${#plain[@]} + ${#mangled[@]} ))
[ "$fail" = 0 ] && echo "all $n exports present"
exit "$fail"
