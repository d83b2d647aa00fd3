/* Definitions the bus reads from JSON files: tag groups (named lists of tags
 * with value kinds), thing classes (inputs and outputs bound to tag groups)
 * and the properties of one thing (its id, class and context id).
 *
 * Tag-group file:   {"tagGroups": [{"name": "...", "id": "...",
 *                     "tags": [{"name": "...", "kind": "uint32"}, ...]}]}
 * Thing-class file: {"thingClasses": [{"id": "...",
 *                     "inputs":  [{"name": "...", "tagGroup": "..."}],
 *                     "outputs": [{"name": "...", "tagGroup": "..."}]}]}
 * Properties file:  {"thingId": "...", "thingClassId": "...", "contextId": "..."}
 *
 * Every reader throws RegistryError with the file and the reason. */
#ifndef MESHAPI_REGISTRY_H
#define MESHAPI_REGISTRY_H

#include <map>
#include <string>
#include <vector>

#include "meshapi/iot_value.h"

namespace com {
namespace quillmark {
namespace tidemesh {

class RegistryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TagDefinition {
  std::string name;
  iot::IOT_KIND kind = iot::IOT_KIND::NONE;
};

struct TagGroup {
  std::string name;  /* what thing classes and writers refer to */
  std::string id;    /* unique; names the bus topic */
  std::vector<TagDefinition> tags;

  const TagDefinition *find(const std::string &tag) const;
  /* Throws RegistryError naming the first offending tag. */
  void validate(const iot::IOT_NVP_SEQ &sample) const;
};

struct Port {
  std::string name;
  std::string tagGroup;
};

struct ThingClass {
  std::string id;
  std::vector<Port> inputs;
  std::vector<Port> outputs;
};

/* "file:///a/b" and "file://./a" name /a/b and ./a; a plain path is taken as is. */
std::string path_from_uri(const std::string &uri);
/* Whole file content; throws RegistryError when it cannot be read. */
std::string read_text_file(const std::string &path);

class JSonTagGroupRegistry {
 public:
  void registerTagGroupsFromURI(const std::string &uri);
  void registerTagGroupsFromString(const std::string &json, const std::string &origin = "<string>");
  const std::map<std::string, TagGroup> &tagGroups() const { return groups_; }

 private:
  std::map<std::string, TagGroup> groups_;  /* by name */
};

class JSonThingClassRegistry {
 public:
  void registerThingClassesFromURI(const std::string &uri);
  void registerThingClassesFromString(const std::string &json, const std::string &origin = "<string>");
  const std::map<std::string, ThingClass> &thingClasses() const { return classes_; }

 private:
  std::map<std::string, ThingClass> classes_;  /* by id */
};

class JSonThingProperties {
 public:
  void readPropertiesFromURI(const std::string &uri);
  void readPropertiesFromString(const std::string &json);

  const std::string &thingId() const { return thingId_; }
  const std::string &thingClassId() const { return thingClassId_; }
  const std::string &contextId() const { return contextId_; }

 private:
  void parse(const std::string &json, const std::string &origin);
  std::string thingId_, thingClassId_, contextId_;
};

}  // namespace tidemesh
}  // namespace quillmark
}  // namespace com

#endif
