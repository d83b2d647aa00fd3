/* Collects the GLib warnings of the default log domain while alive (the
 * domain of code built without G_LOG_DOMAIN, as the elements are). */
#pragma once

#include <string>
#include <vector>

#include <glib.h>

class WarningCapture {
 public:
  WarningCapture()
      : id_(g_log_set_handler(nullptr, G_LOG_LEVEL_WARNING, &WarningCapture::handle, this)) {}
  ~WarningCapture() { g_log_remove_handler(nullptr, id_); }
  WarningCapture(const WarningCapture &) = delete;
  WarningCapture &operator=(const WarningCapture &) = delete;

  const std::vector<std::string> &messages() const { return messages_; }

 private:
  static void handle(const gchar *, GLogLevelFlags, const gchar *message, gpointer self) {
    static_cast<WarningCapture *>(self)->messages_.push_back(message);
  }
  guint id_;
  std::vector<std::string> messages_;
};
