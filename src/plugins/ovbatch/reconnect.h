/* When a camera source tries again after losing its camera, without the
 * element: a backoff that doubles from the retry interval up to a longest
 * wait, and starts over once frames come again; and which losses are worth
 * a retry at all. */
#ifndef OV_BATCH_RECONNECT_H
#define OV_BATCH_RECONNECT_H

#include <gst/gst.h>

namespace ovbatch {

class Backoff {
 public:
  /* `first` > 0; `longest` below `first` is taken as `first`. */
  Backoff(GstClockTime first, GstClockTime longest);
  /* The wait before the next try: first, twice that, four times ... up to
   * the longest. */
  GstClockTime next();
  /* Frames came: the next loss waits `first` again. */
  void reset() { tries_ = 0; }
  unsigned tries() const { return tries_; }

 private:
  GstClockTime first_, longest_;
  unsigned tries_ = 0;
};

/* Whether an error of the source is a lost or unreachable camera, worth
 * trying again; false for what no retry mends (a plug-in or decoder that
 * is missing, a URI no element handles). */
bool worth_a_retry(GQuark domain, int code);

/* Whether frames of `uri` end by themselves (a file), so that the end of
 * stream is the end of the camera rather than a loss. */
bool ends_by_itself(const char *uri);

}  // namespace ovbatch

#endif /* OV_BATCH_RECONNECT_H */
