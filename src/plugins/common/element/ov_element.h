/* What every element of the suite shares: the caps of the BGR frames the
 * inference chain passes along, scoped GLib locks and the plumbing of
 * set_property / get_property.
 *
 * The locks follow one rule: a guard is taken on entry of a block and dropped
 * at its end, or earlier with unlock() when the block must push or post
 * without the element's lock held.  For the object lock of a GstObject:
 * ov::MutexLock guard(GST_OBJECT_GET_LOCK(self)). */
#pragma once

#include <cstddef>
#include <string>
#include <type_traits>

#include <glib-object.h>

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

/* The enum type `name` with `values` (ending in a zeroed entry), registered
 * on the first call; `type_id` is the caller's static.  A type of that name
 * already there (another copy of the same code in the process, such as a
 * test linking a core next to the loaded plug-in) is taken as it is. */
inline GType enum_type_once(gsize &type_id, const char *name, const GEnumValue *values) {
  if (g_once_init_enter(&type_id)) {
    GType t = g_type_from_name(name);
    if (t == 0)
      t = g_enum_register_static(name, values);
    g_once_init_leave(&type_id, t);
  }
  return type_id;
}

/* ---- Property values ----
 *
 * store() writes a property value into an element field, load() writes the
 * field into a value GObject has already typed from the property's definition.
 * A gint field serves boolean, int and enum properties alike: the value's
 * type says which.  The caller holds the lock that guards the field. */

/* The value's string, "" for NULL. */
inline std::string value_string(const GValue *value) {
  const gchar *s = g_value_get_string(value);
  return s ? s : "";
}

inline void store(gint &field, const GValue *value) {
  if (G_VALUE_HOLDS_BOOLEAN(value))
    field = g_value_get_boolean(value);
  else if (G_VALUE_HOLDS_ENUM(value))
    field = g_value_get_enum(value);
  else
    field = g_value_get_int(value);
}
inline void store(guint &field, const GValue *value) { field = g_value_get_uint(value); }
inline void store(gfloat &field, const GValue *value) { field = g_value_get_float(value); }
inline void store(bool &field, const GValue *value) { field = g_value_get_boolean(value); }
/* Replaces the field's own copy of the string (NULL stays NULL). */
inline void store(gchar *&field, const GValue *value) {
  g_free(field);
  field = g_value_dup_string(value);
}
inline void store(std::string &field, const GValue *value) { field = value_string(value); }
template <typename E, typename = std::enable_if_t<std::is_enum<E>::value>>
void store(E &field, const GValue *value) {
  field = E(g_value_get_enum(value));
}

inline void load(gint field, GValue *value) {
  if (G_VALUE_HOLDS_BOOLEAN(value))
    g_value_set_boolean(value, field);
  else if (G_VALUE_HOLDS_ENUM(value))
    g_value_set_enum(value, field);
  else
    g_value_set_int(value, field);
}
inline void load(guint field, GValue *value) { g_value_set_uint(value, field); }
inline void load(gfloat field, GValue *value) { g_value_set_float(value, field); }
inline void load(bool field, GValue *value) { g_value_set_boolean(value, field); }
inline void load(const gchar *field, GValue *value) { g_value_set_string(value, field); }
inline void load(const std::string &field, GValue *value) {
  g_value_set_string(value, field.c_str());
}
template <typename E, typename = std::enable_if_t<std::is_enum<E>::value>>
void load(E field, GValue *value) {
  g_value_set_enum(value, gint(field));
}

/* ---- Property tables ----
 *
 * An element lists its properties once, each tied to the instance field that
 * holds it, and its set_property / get_property take the lock and hand over
 * to the table:
 *
 *   static const ov::Property kProperties[] = {
 *       ov::field<&OvFoo::count>(PROP_COUNT),
 *       ov::field<&OvFoo::path>(PROP_PATH, reload_path),  // runs after a set
 *   };
 *   static void ov_foo_set_property(GObject *object, guint id, const GValue *value,
 *                                   GParamSpec *pspec) {
 *     ov::MutexLock guard(GST_OBJECT_GET_LOCK(object));
 *     ov::set_property(kProperties, object, id, value, pspec);
 *   }
 *
 * An id the table lacks gets GObject's invalid-property warning. */

struct Property {
  guint id;
  void (*set)(GObject *object, const GValue *value);
  void (*get)(GObject *object, GValue *value);
  /* Run after set, under the same lock (NULL: nothing). */
  void (*changed)(GObject *object);
};

namespace detail {

template <typename Member>
struct MemberOf;
template <typename Instance, typename Field>
struct MemberOf<Field Instance::*> {
  using Object = Instance;
};

/* The instance struct starts with its parent's, so the GObject pointer is
 * the instance pointer. */
template <auto Member>
struct FieldAccess {
  using Object = typename MemberOf<decltype(Member)>::Object;
  static void set(GObject *object, const GValue *value) {
    store(reinterpret_cast<Object *>(object)->*Member, value);
  }
  static void get(GObject *object, GValue *value) {
    load(reinterpret_cast<Object *>(object)->*Member, value);
  }
};

}  // namespace detail

/* Property `id` kept in the instance field `Member`. */
template <auto Member>
constexpr Property field(guint id, void (*changed)(GObject *) = nullptr) {
  return {id, &detail::FieldAccess<Member>::set, &detail::FieldAccess<Member>::get, changed};
}

/* The table's entry for `id`; NULL, after GObject's invalid-property
 * warning, when the table has none. */
template <std::size_t N>
const Property *find_property(const Property (&table)[N], GObject *object, guint id,
                              GParamSpec *pspec) {
  for (const Property &p : table)
    if (p.id == id)
      return &p;
  G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
  return nullptr;
}

template <std::size_t N>
void set_property(const Property (&table)[N], GObject *object, guint id, const GValue *value,
                  GParamSpec *pspec) {
  if (const Property *p = find_property(table, object, id, pspec)) {
    p->set(object, value);
    if (p->changed)
      p->changed(object);
  }
}

template <std::size_t N>
void get_property(const Property (&table)[N], GObject *object, guint id, GValue *value,
                  GParamSpec *pspec) {
  if (const Property *p = find_property(table, object, id, pspec))
    p->get(object, value);
}

}  // namespace ov
