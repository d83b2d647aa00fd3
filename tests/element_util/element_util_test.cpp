// ov_element.h: the value helpers, the property table and the guards, on a
// small GObject defined here.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "ov_element.h"
#include "warning_capture.h"

namespace {

enum Colour { RED = 0, GREEN = 1, BLUE = 2 };
enum class Shape : gint { Round = 3, Square = 7 };

GType colour_get_type() {
  static gsize type = 0;
  static const GEnumValue values[] = {{RED, "Red", "red"},
                                      {GREEN, "Green", "green"},
                                      {BLUE, "Blue", "blue"},
                                      {0, nullptr, nullptr}};
  return ov::enum_type_once(type, "OvTestColour", values);
}

GType shape_get_type() {
  static gsize type = 0;
  static const GEnumValue values[] = {{gint(Shape::Round), "Round", "round"},
                                      {gint(Shape::Square), "Square", "square"},
                                      {0, nullptr, nullptr}};
  return ov::enum_type_once(type, "OvTestShape", values);
}

enum {
  PROP_0,
  PROP_FLAG,
  PROP_COUNT,
  PROP_COLOUR,
  PROP_LIMIT,
  PROP_RATIO,
  PROP_PATH,
  PROP_NAME,
  PROP_ON,
  PROP_SHAPE,
  PROP_UNLISTED,  // installed, but missing from the table
};

struct OvTestProps {
  GObject parent;
  gint flag;   /* boolean property */
  gint count;  /* int property */
  gint colour; /* enum property kept as a plain int */
  guint limit;
  gfloat ratio;
  gchar *path;
  std::string name; /* constructed in init, destroyed in finalize */
  bool on;
  Shape shape;
  gint path_changes; /* counts the hook's runs */
  gint seen_path_length;
};

struct OvTestPropsClass {
  GObjectClass parent_class;
};

G_DEFINE_TYPE(OvTestProps, ov_test_props, G_TYPE_OBJECT)

void path_changed(GObject *object) {
  auto *self = reinterpret_cast<OvTestProps *>(object);
  ++self->path_changes;
  self->seen_path_length = self->path ? gint(strlen(self->path)) : -1;
}

const ov::Property kProperties[] = {
    ov::field<&OvTestProps::flag>(PROP_FLAG),
    ov::field<&OvTestProps::count>(PROP_COUNT),
    ov::field<&OvTestProps::colour>(PROP_COLOUR),
    ov::field<&OvTestProps::limit>(PROP_LIMIT),
    ov::field<&OvTestProps::ratio>(PROP_RATIO),
    ov::field<&OvTestProps::path>(PROP_PATH, path_changed),
    ov::field<&OvTestProps::name>(PROP_NAME),
    ov::field<&OvTestProps::on>(PROP_ON),
    ov::field<&OvTestProps::shape>(PROP_SHAPE),
};

void set_property(GObject *object, guint id, const GValue *value, GParamSpec *pspec) {
  ov::set_property(kProperties, object, id, value, pspec);
}

void get_property(GObject *object, guint id, GValue *value, GParamSpec *pspec) {
  ov::get_property(kProperties, object, id, value, pspec);
}

void finalize(GObject *object) {
  auto *self = reinterpret_cast<OvTestProps *>(object);
  g_free(self->path);
  using String = std::string;
  self->name.~String();
  G_OBJECT_CLASS(ov_test_props_parent_class)->finalize(object);
}

void ov_test_props_class_init(OvTestPropsClass *klass) {
  GObjectClass *o = G_OBJECT_CLASS(klass);
  o->set_property = set_property;
  o->get_property = get_property;
  o->finalize = finalize;
  const GParamFlags rw = G_PARAM_READWRITE;
  g_object_class_install_property(o, PROP_FLAG, g_param_spec_boolean("flag", "", "", FALSE, rw));
  g_object_class_install_property(o, PROP_COUNT,
                                  g_param_spec_int("count", "", "", -100, 100, 5, rw));
  g_object_class_install_property(
      o, PROP_COLOUR, g_param_spec_enum("colour", "", "", colour_get_type(), RED, rw));
  g_object_class_install_property(o, PROP_LIMIT,
                                  g_param_spec_uint("limit", "", "", 0, 1000, 10, rw));
  g_object_class_install_property(o, PROP_RATIO,
                                  g_param_spec_float("ratio", "", "", 0.f, 1.f, 0.5f, rw));
  g_object_class_install_property(o, PROP_PATH,
                                  g_param_spec_string("path", "", "", nullptr, rw));
  g_object_class_install_property(o, PROP_NAME, g_param_spec_string("name", "", "", "", rw));
  g_object_class_install_property(o, PROP_ON, g_param_spec_boolean("on", "", "", FALSE, rw));
  g_object_class_install_property(
      o, PROP_SHAPE,
      g_param_spec_enum("shape", "", "", shape_get_type(), gint(Shape::Round), rw));
  g_object_class_install_property(o, PROP_UNLISTED,
                                  g_param_spec_int("unlisted", "", "", 0, 9, 0, rw));
}

void ov_test_props_init(OvTestProps *self) {
  self->count = 5;
  self->limit = 10;
  self->ratio = 0.5f;
  new (&self->name) std::string();
  self->shape = Shape::Round;
}

struct ObjectDeleter {
  void operator()(gpointer p) const { g_object_unref(p); }
};
using PropsPtr = std::unique_ptr<OvTestProps, ObjectDeleter>;

PropsPtr make_props() {
  return PropsPtr(static_cast<OvTestProps *>(g_object_new(ov_test_props_get_type(), nullptr)));
}

TEST(ElementPropertyTable, EveryKindRoundTripsThroughGObject) {
  PropsPtr p = make_props();
  g_object_set(p.get(), "flag", TRUE, "count", -42, "colour", BLUE, "limit", 999u, "ratio",
               0.25f, "path", "/tmp/a", "name", "cam", "on", TRUE, "shape", gint(Shape::Square),
               nullptr);
  // The fields hold what was set...
  EXPECT_EQ(p->flag, TRUE);
  EXPECT_EQ(p->count, -42);
  EXPECT_EQ(p->colour, BLUE);
  EXPECT_EQ(p->limit, 999u);
  EXPECT_EQ(p->ratio, 0.25f);
  EXPECT_STREQ(p->path, "/tmp/a");
  EXPECT_EQ(p->name, "cam");
  EXPECT_TRUE(p->on);
  EXPECT_EQ(p->shape, Shape::Square);

  // ...and reading goes through the value's own type.
  gboolean flag = FALSE, on = FALSE;
  gint count = 0, colour = 0, shape = 0;
  guint limit = 0;
  gfloat ratio = 0;
  gchar *path = nullptr, *name = nullptr;
  g_object_get(p.get(), "flag", &flag, "count", &count, "colour", &colour, "limit", &limit,
               "ratio", &ratio, "path", &path, "name", &name, "on", &on, "shape", &shape,
               nullptr);
  EXPECT_EQ(flag, TRUE);
  EXPECT_EQ(count, -42);
  EXPECT_EQ(colour, BLUE);
  EXPECT_EQ(limit, 999u);
  EXPECT_EQ(ratio, 0.25f);
  EXPECT_STREQ(path, "/tmp/a");
  EXPECT_STREQ(name, "cam");
  EXPECT_EQ(on, TRUE);
  EXPECT_EQ(shape, 7);
  g_free(path);
  g_free(name);
}

TEST(ElementPropertyTable, StringsAreOwnedCopiesAndNullStaysNull) {
  PropsPtr p = make_props();
  gchar *text = g_strdup("/first");
  g_object_set(p.get(), "path", text, nullptr);
  text[1] = 'X';  // the field keeps its own copy
  EXPECT_STREQ(p->path, "/first");
  g_free(text);

  g_object_set(p.get(), "path", nullptr, nullptr);
  EXPECT_EQ(p->path, nullptr);
  gchar *path = g_strdup("untouched");
  g_object_get(p.get(), "path", &path, nullptr);
  EXPECT_EQ(path, nullptr);

  g_object_set(p.get(), "name", "x", nullptr);
  g_object_set(p.get(), "name", nullptr, nullptr);  // a std::string reads NULL as ""
  EXPECT_EQ(p->name, "");
}

TEST(ElementPropertyTable, HookRunsAfterTheFieldIsSetAndOnlyForItsProperty) {
  PropsPtr p = make_props();
  g_object_set(p.get(), "count", 3, "ratio", 0.75f, nullptr);
  EXPECT_EQ(p->path_changes, 0);
  g_object_set(p.get(), "path", "abcd", nullptr);
  EXPECT_EQ(p->path_changes, 1);
  EXPECT_EQ(p->seen_path_length, 4);  // the hook saw the new value
  g_object_set(p.get(), "path", nullptr, nullptr);
  EXPECT_EQ(p->path_changes, 2);
  EXPECT_EQ(p->seen_path_length, -1);
}

TEST(ElementPropertyTable, IdMissingFromTheTableWarnsAndChangesNothing) {
  PropsPtr p = make_props();
  WarningCapture warnings;
  g_object_set(p.get(), "unlisted", 4, nullptr);
  gint unlisted = 123;
  g_object_get(p.get(), "unlisted", &unlisted, nullptr);
  ASSERT_EQ(warnings.messages().size(), 2u);
  for (const std::string &m : warnings.messages())
    EXPECT_NE(m.find("invalid property id 10 for \"unlisted\" of type 'GParamInt' in "
                     "'OvTestProps'"),
              std::string::npos)
        << m;
  EXPECT_EQ(unlisted, 0);  // GObject's zeroed value, untouched by the table
  EXPECT_EQ(p->count, 5);
  EXPECT_EQ(p->limit, 10u);
}

TEST(ElementEnumType, RegistersOnceAndTakesATypeOfThatNameAlreadyThere) {
  static const GEnumValue first[] = {{1, "One", "one"}, {0, nullptr, nullptr}};
  static const GEnumValue second[] = {{2, "Two", "two"}, {0, nullptr, nullptr}};
  // Registered by another copy of the code before this one asks.
  const GType existing = g_enum_register_static("OvTestTaken", first);
  ASSERT_NE(existing, G_TYPE_INVALID);
  static gsize taken = 0;
  EXPECT_EQ(ov::enum_type_once(taken, "OvTestTaken", second), existing);
  GEnumClass *klass = G_ENUM_CLASS(g_type_class_ref(existing));
  EXPECT_NE(g_enum_get_value_by_nick(klass, "one"), nullptr);  // the first values stay
  EXPECT_EQ(g_enum_get_value_by_nick(klass, "two"), nullptr);
  g_type_class_unref(klass);

  static gsize fresh = 0;
  const GType made = ov::enum_type_once(fresh, "OvTestFresh", second);
  ASSERT_NE(made, G_TYPE_INVALID);
  EXPECT_TRUE(G_TYPE_IS_ENUM(made));
  EXPECT_STREQ(g_type_name(made), "OvTestFresh");
  EXPECT_EQ(ov::enum_type_once(fresh, "OvTestFresh", second), made);  // same on every call
}

TEST(ElementGuards, UnlockEarlyReleasesOnceAndTheScopeEndDoesNotReleaseAgain) {
  GMutex m;
  g_mutex_init(&m);
  {
    ov::MutexLock guard(&m);
    EXPECT_FALSE(g_mutex_trylock(&m));
    guard.unlock();
    ASSERT_TRUE(g_mutex_trylock(&m));  // free again; hold it past the guard's end
  }
  // Still held by the trylock above: the guard's destructor did not unlock.
  EXPECT_FALSE(g_mutex_trylock(&m));
  g_mutex_unlock(&m);
  g_mutex_clear(&m);

  GRecMutex r;
  g_rec_mutex_init(&r);
  {
    ov::RecMutexLock outer(&r);
    ov::RecMutexLock inner(&r);  // re-entered by the same thread
    inner.unlock();
  }
  // Taken once by this thread and released once: another thread gets it.
  bool other_got_it = false;
  GThread *t = g_thread_new(
      "probe",
      [](gpointer data) -> gpointer {
        auto *rm = static_cast<GRecMutex *>(data);
        gboolean ok = g_rec_mutex_trylock(rm);
        if (ok)
          g_rec_mutex_unlock(rm);
        return GINT_TO_POINTER(ok);
      },
      &r);
  other_got_it = GPOINTER_TO_INT(g_thread_join(t));
  EXPECT_TRUE(other_got_it);
  g_rec_mutex_clear(&r);
}

}  // namespace
