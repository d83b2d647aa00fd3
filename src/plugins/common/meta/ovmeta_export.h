/* Symbol visibility of the metadata library: everything is hidden unless
 * marked OV_META_API.  The frame/matrix conversion functions are also compiled
 * into each plug-in, where they stay private to it (OV_OPENCV_API empty). */
#ifndef OVMETA_EXPORT_H
#define OVMETA_EXPORT_H

#define OV_META_API __attribute__((visibility("default")))

#ifdef OV_OPENCV_UTILS_EXPORT
#define OV_OPENCV_API __attribute__((visibility("default")))
#else
#define OV_OPENCV_API
#endif

#endif /* OVMETA_EXPORT_H */
