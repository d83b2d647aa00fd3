/* Which frames of a buffer the bus sink publishes and where each one's
 * picture lies in the buffer's image.  A batch image holds its frames one
 * under the other (each at column 0, its own width and height, in record
 * order); every frame goes out as a frame of its own, at its own size, under
 * a stream id that tells the cameras of the batch apart. */
#ifndef OVEDGE_SINK_FRAMES_H
#define OVEDGE_SINK_FRAMES_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "ovbatch_records.h"

namespace ovedge {

/* One frame to publish. */
struct FrameSlot {
  const VideoFrameData *frame = nullptr;  /* null: the buffer has no batch record */
  const DeviceInfoData *device = nullptr; /* the frame's own device, if it names one */
  std::string stream_id;                  /* what the frame's records carry */
  bool whole = true;                      /* the picture is the whole image */
  int y = 0, width = 0, height = 0;       /* otherwise rows y.., columns 0.. */
};

struct FramePlan {
  std::vector<FrameSlot> slots;
  size_t left_out = 0; /* frames of the batch that are not published */
  std::string error;   /* set when the records do not fit the image */
};

/* The frames of a buffer whose image is `width` x `height` and whose batch
 * record is `batch` (null when it has none):
 * - no record, or a record without frames: one fabricated frame, the whole image;
 * - one frame: that frame, the whole image (whatever size its record says:
 *   a stream scaled after it was tagged is still one picture);
 * - several frames: frame 0 only, or every frame with `all_frames`, each its
 *   own rows.  Frames without pixels (0 wide or high) are skipped.  When the
 *   records do not fit the image, the plan has no slots and says why.
 * With `all_frames` each frame's stream id is its record's, else its
 * device's, else "stream-<k>"; blank or repeated ids are made distinct
 * ("<id>#<k>"), so a subscriber can tell the cameras apart. */
FramePlan plan_frames(const OvBatch *batch, int width, int height, bool all_frames);

/* Copies rows y..y+h-1, columns 0..w-1 of a packed BGR image `image_width`
 * wide into `dst` (resized to w x h x 3). */
void cut_bgr_rows(const std::vector<uint8_t> &image, int image_width, int y, int w, int h,
                  std::vector<uint8_t> &dst);

/* Watches the frame ids a sink publishes per stream: true when an id does
 * not increase on the stream's previous one (ids repeat: a source that
 * numbers nothing, a restarted pipeline). */
class FrameIdWatch {
 public:
  bool repeats(const std::string &stream, uint32_t id);

 private:
  static constexpr size_t kStreams = 64;
  std::map<std::string, uint32_t> last_;
};

}  // namespace ovedge

#endif
