#include "meshapi/registry.h"

#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

namespace com {
namespace quillmark {
namespace tidemesh {

using nlohmann::json;
using iot::IOT_KIND;

namespace {

const std::pair<const char *, IOT_KIND> kKinds[] = {
    {"string", IOT_KIND::STRING},     {"uint32", IOT_KIND::UINT32},
    {"int32", IOT_KIND::INT32},       {"int64", IOT_KIND::INT64},
    {"float32", IOT_KIND::FLOAT32},   {"byte_seq", IOT_KIND::BYTE_SEQ},
    {"nvp_seq", IOT_KIND::NVP_SEQ},
};

[[noreturn]] void fail(const std::string &origin, const std::string &why) {
  throw RegistryError(origin + ": " + why);
}

json parse_json(const std::string &text, const std::string &origin) {
  try {
    return json::parse(text);
  } catch (const json::exception &e) {
    fail(origin, std::string("invalid JSON (") + e.what() + ")");
  }
}

const json &member(const json &obj, const char *key, const std::string &origin,
                   const std::string &where) {
  if (!obj.is_object()) fail(origin, where + " is not an object");
  auto it = obj.find(key);
  if (it == obj.end()) fail(origin, where + " lacks \"" + key + "\"");
  return *it;
}

std::string text_member(const json &obj, const char *key, const std::string &origin,
                        const std::string &where) {
  const json &v = member(obj, key, origin, where);
  if (!v.is_string()) fail(origin, where + ": \"" + key + "\" is not a string");
  return v.get<std::string>();
}

const json &array_member(const json &obj, const char *key, const std::string &origin,
                         const std::string &where) {
  const json &v = member(obj, key, origin, where);
  if (!v.is_array()) fail(origin, where + ": \"" + key + "\" is not an array");
  return v;
}

std::vector<Port> ports(const json &cls, const char *key, const std::string &origin,
                        const std::string &where) {
  std::vector<Port> out;
  auto it = cls.find(key);
  if (it == cls.end()) return out;
  if (!it->is_array()) fail(origin, where + ": \"" + key + "\" is not an array");
  for (const json &p : *it) {
    Port port{text_member(p, "name", origin, where + " " + key),
              text_member(p, "tagGroup", origin, where + " " + key)};
    out.push_back(std::move(port));
  }
  return out;
}

/* Reads every entry of the document's array `key` with `read` (which fills
 * an entry and returns the name it is kept under), then adds them all to
 * `into`: a document with an error anywhere adds nothing. */
template <typename Entry, typename Read>
void register_entries(std::map<std::string, Entry> &into, const std::string &text,
                      const std::string &origin, const char *key, Read read) {
  json doc = parse_json(text, origin);
  std::map<std::string, Entry> parsed;
  for (const json &item : array_member(doc, key, origin, "document")) {
    Entry entry;
    std::string name = read(item, entry);
    parsed[name] = std::move(entry);
  }
  for (auto &kv : parsed) into[kv.first] = std::move(kv.second);
}

}  // namespace

std::string path_from_uri(const std::string &uri) {
  static const std::string scheme = "file://";
  if (uri.compare(0, scheme.size(), scheme) == 0) return uri.substr(scheme.size());
  return uri;
}

std::string read_text_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw RegistryError(path + ": cannot open file");
  std::ostringstream ss;
  ss << in.rdbuf();
  if (in.bad()) throw RegistryError(path + ": read error");
  return ss.str();
}

const TagDefinition *TagGroup::find(const std::string &tag) const {
  for (const TagDefinition &t : tags)
    if (t.name == tag) return &t;
  return nullptr;
}

void TagGroup::validate(const iot::IOT_NVP_SEQ &sample) const {
  std::vector<bool> seen(tags.size(), false);
  for (const iot::IOT_NVP &p : sample) {
    const TagDefinition *t = find(p.name());
    if (!t) throw RegistryError("tag group " + name + ": unknown tag \"" + p.name() + "\"");
    if (t->kind != p.value().kind())
      throw RegistryError("tag group " + name + ": tag \"" + p.name() + "\" must be " +
                          iot::kind_name(t->kind) + ", not " + iot::kind_name(p.value().kind()));
    seen[static_cast<size_t>(t - tags.data())] = true;
  }
  for (size_t i = 0; i < tags.size(); ++i)
    if (!seen[i]) throw RegistryError("tag group " + name + ": missing tag \"" + tags[i].name + "\"");
}

void JSonTagGroupRegistry::registerTagGroupsFromURI(const std::string &uri) {
  std::string path = path_from_uri(uri);
  registerTagGroupsFromString(read_text_file(path), path);
}

void JSonTagGroupRegistry::registerTagGroupsFromString(const std::string &text,
                                                       const std::string &origin) {
  register_entries(groups_, text, origin, "tagGroups", [&](const json &g, TagGroup &group) {
    group.name = text_member(g, "name", origin, "tag group");
    std::string where = "tag group " + group.name;
    group.id = text_member(g, "id", origin, where);
    if (group.name.empty() || group.id.empty()) fail(origin, where + ": empty name or id");
    for (const json &t : array_member(g, "tags", origin, where)) {
      TagDefinition def;
      def.name = text_member(t, "name", origin, where + " tag");
      std::string kind = text_member(t, "kind", origin, where + " tag " + def.name);
      for (const auto &k : kKinds)
        if (kind == k.first) def.kind = k.second;
      if (def.kind == IOT_KIND::NONE)
        fail(origin, where + ": tag \"" + def.name + "\" has unknown kind \"" + kind + "\"");
      if (group.find(def.name)) fail(origin, where + ": tag \"" + def.name + "\" defined twice");
      group.tags.push_back(std::move(def));
    }
    return group.name;
  });
}

void JSonThingClassRegistry::registerThingClassesFromURI(const std::string &uri) {
  std::string path = path_from_uri(uri);
  registerThingClassesFromString(read_text_file(path), path);
}

void JSonThingClassRegistry::registerThingClassesFromString(const std::string &text,
                                                            const std::string &origin) {
  register_entries(classes_, text, origin, "thingClasses", [&](const json &c, ThingClass &cls) {
    cls.id = text_member(c, "id", origin, "thing class");
    std::string where = "thing class " + cls.id;
    cls.inputs = ports(c, "inputs", origin, where);
    cls.outputs = ports(c, "outputs", origin, where);
    return cls.id;
  });
}

void JSonThingProperties::readPropertiesFromURI(const std::string &uri) {
  std::string path = path_from_uri(uri);
  parse(read_text_file(path), path);
}

void JSonThingProperties::readPropertiesFromString(const std::string &text) {
  parse(text, "thing properties");
}

void JSonThingProperties::parse(const std::string &text, const std::string &origin) {
  json doc = parse_json(text, origin);
  std::string id = text_member(doc, "thingId", origin, "properties");
  std::string cls = text_member(doc, "thingClassId", origin, "properties");
  std::string ctx;
  if (doc.contains("contextId")) ctx = text_member(doc, "contextId", origin, "properties");
  if (id.empty()) fail(origin, "empty \"thingId\"");
  thingId_ = std::move(id);
  thingClassId_ = std::move(cls);
  contextId_ = std::move(ctx);
}

}  // namespace tidemesh
}  // namespace quillmark
}  // namespace com
