/* What every element of the suite shares: the caps of the BGR frames the
 * inference chain passes along, and scoped GLib locks.
 *
 * The locks follow one rule: a guard is taken on entry of a block and dropped
 * at its end, or earlier with unlock() when the block must push or post
 * without the element's lock held. */
#pragma once

#include <glib.h>

/* Packed BGR frames of any size and rate: what ovrt, the translator, the
 * drawer and the writers accept and give. */
#define OV_BGR_CAPS                                                                        \
  "video/x-raw, format = (string) { BGR }, width = (int) [ 1, max ], height = (int) [ 1, " \
  "max ], framerate = (fraction) [ 0, max ]"

namespace ov {

/* Holds a GMutex for the guard's scope. */
class MutexLock {
 public:
  explicit MutexLock(GMutex *m) : m_(m) { g_mutex_lock(m_); }
  ~MutexLock() { unlock(); }
  void unlock() {
    if (m_)
      g_mutex_unlock(m_);
    m_ = nullptr;
  }
  MutexLock(const MutexLock &) = delete;
  MutexLock &operator=(const MutexLock &) = delete;

 private:
  GMutex *m_;
};

/* Holds a GRecMutex for the guard's scope. */
class RecMutexLock {
 public:
  explicit RecMutexLock(GRecMutex *m) : m_(m) { g_rec_mutex_lock(m_); }
  ~RecMutexLock() { unlock(); }
  void unlock() {
    if (m_)
      g_rec_mutex_unlock(m_);
    m_ = nullptr;
  }
  RecMutexLock(const RecMutexLock &) = delete;
  RecMutexLock &operator=(const RecMutexLock &) = delete;

 private:
  GRecMutex *m_;
};

}  // namespace ov
