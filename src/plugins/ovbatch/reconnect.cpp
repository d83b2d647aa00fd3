#include "reconnect.h"

#include <algorithm>

namespace ovbatch {

Backoff::Backoff(GstClockTime first, GstClockTime longest)
    : first_(first), longest_(std::max(first, longest)) {}

GstClockTime Backoff::next() {
  GstClockTime wait = first_;
  for (unsigned i = 0; i < tries_ && wait < longest_; ++i)
    wait *= 2;
  ++tries_;
  return std::min(wait, longest_);
}

bool worth_a_retry(GQuark domain, int code) {
  if (domain == GST_CORE_ERROR)
    return code != GST_CORE_ERROR_MISSING_PLUGIN && code != GST_CORE_ERROR_NEGOTIATION;
  if (domain == GST_STREAM_ERROR)
    return code != GST_STREAM_ERROR_CODEC_NOT_FOUND && code != GST_STREAM_ERROR_WRONG_TYPE &&
           code != GST_STREAM_ERROR_TYPE_NOT_FOUND;
  if (domain == GST_URI_ERROR)
    return false;
  return true;  // resource errors: a camera gone, refused, unreachable
}

bool ends_by_itself(const char *uri) {
  gchar *scheme = uri ? g_uri_parse_scheme(uri) : nullptr;
  const bool file = scheme && g_ascii_strcasecmp(scheme, "file") == 0;
  g_free(scheme);
  return file;
}

}  // namespace ovbatch
