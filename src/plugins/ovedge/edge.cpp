#include "edge.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <regex>

#include "meshapi/registry.h"

namespace VXCORE {

namespace mesh = com::quillmark::tidemesh;

namespace {

/* Removes the "file://" of a URI the way the bridge always has: by length. */
std::string strip_scheme(const std::string &uri) { return uri.size() >= 7 ? uri.substr(7) : uri; }

bool read_file(const std::string &path, std::string &out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream ss;
  ss << in.rdbuf();
  out = ss.str();
  return true;
}

/* Replaces the text between the first two double quotes at or after `from`;
 * false (text unchanged) when there are not two. */
bool replace_quoted(std::string &text, size_t from, const std::string &value) {
  size_t q1 = text.find('"', from);
  if (q1 == std::string::npos) return false;
  size_t q2 = text.find('"', q1 + 1);
  if (q2 == std::string::npos) return false;
  text.replace(q1 + 1, q2 - q1 - 1, value);
  return true;
}

}  // namespace

bool is_file_exist(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::string path_join(const std::vector<std::string> &parts) {
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) out += "/";
    out += parts[i];
  }
  return out;
}

std::vector<std::string> combine_paths(const std::string &root, const std::vector<std::string> &files) {
  std::vector<std::string> out;
  for (const std::string &f : files) out.push_back(path_join({root, f}));
  return out;
}

std::string search_files(const std::vector<std::string> &files) {
  std::vector<std::string> roots = {".", "/opt/orvane/vxa", "/src/common/data_model",
                                    "./common/data_model"};
  if (const char *env = std::getenv("VXA_ROOT")) roots.push_back(env);
  for (const std::string &root : roots) {
    bool all = true;
    for (const std::string &f : files) all = all && is_file_exist(path_join({root, f}));
    if (all) return root;
  }
  return "";
}

std::string autoGenerateTingID(const std::string &uri, bool) {
  std::string path = strip_scheme(uri);
  std::string text;
  if (!read_file(path, text)) {
    std::cout << "[OPEN ERROR] " << path << " in autoGenerateTingID" << std::endl;
    return "";
  }
  size_t colon = text.find(':');
  if (colon == std::string::npos || !replace_quoted(text, colon + 1, generateUUID()))
    std::cout << "[FORMAT ERROR] no quoted thing id after the first ':' in " << path
              << "; thing id left unchanged" << std::endl;
  return text;
}

std::string replace_thing_property_context_id(const std::string &input, const std::string &contextId,
                                              bool fromFile) {
  std::string text = input;
  if (fromFile) {
    std::string path = strip_scheme(input);
    if (!read_file(path, text)) {
      std::cout << "[OPEN ERROR] " << path << " in replace_thing_property_context_id" << std::endl;
      return "";
    }
  }
  static const std::string key = "\"contextId\":";
  size_t k = text.find(key);
  if (k == std::string::npos || !replace_quoted(text, k + key.size(), contextId))
    std::cout << "[FORMAT ERROR] no quoted \"contextId\": value in the thing properties; context id "
              << contextId << " not set" << std::endl;
  return text;
}

std::string tag_group_usage_manual(const std::string &role) {
  std::string s =
      "Provide the tag groups name you want to use. Example: taggroups=VideoFrameData.\n"
      "\t\t\tIf there are more than one tage group used, please use the delimiter '+' to "
      "separate them. Just like: taggroups=VideoFrameData+ClassificationData.";
  const std::pair<const char *, const char *> entries[] = {
      {"=> VideoFrameData", "\t\t For publishing image data to edge mesh."},
      {"=> DetectionBoxData", "\t\t For publishing detection inference result to edge mesh."},
      {"=> SegmentationData", "\t\t For publishing segmentation inference result to edge mesh."},
      {"=> ClassificationData", "\t\t For publishing classification inference result to edge mesh."},
      {"=> DeviceInfoData", "\t\t For publishing camera device information to edge mesh."},
  };
  for (const auto &e : entries) s += std::string("\n\t\t\t") + e.first + ":" + e.second;
  if (role == "sink")
    s += "\n\t\t\tovedgesink should set taggroups=VideoFrameData for publishing frame data, "
         "otherwise ovedgesrc will not pass any frame data to downstream.";
  else if (role == "src")
    s += "\n\t\t\tVideoFrameData is the required tag group for synchronization.";
  return s;
}

std::vector<std::string> split(const std::string &text) {
  static const std::regex sep("\\++", std::regex::ECMAScript);
  std::vector<std::string> out;
  for (std::sregex_token_iterator it(text.begin(), text.end(), sep, -1), end; it != end; ++it)
    out.push_back(*it);
  return out;
}

std::string main_properties_file(const std::string &fallback) {
  const char *env = std::getenv("EDGE_PROPERTY");
  return env ? env : fallback;
}

/* ------------------------------------------------------------- Edge */

std::shared_ptr<Edge> Edge::create(const std::string &busConfig, const std::string &propertiesFile,
                                   const std::string &classFile,
                                   const std::vector<std::string> &tagGroupFiles,
                                   const std::string &contextId) {
  std::vector<std::string> files = tagGroupFiles;
  files.push_back(classFile);
  files.push_back(propertiesFile);
  files.push_back(busConfig);
  std::string root = search_files(files);
  if (root.empty()) {
    std::cerr << "Can not find all edge configuration files" << std::endl;
    return nullptr;
  }
  std::cout << "Find NodeKit configuration files under " << root << std::endl;
  std::vector<std::string> uris = combine_paths(path_join({"file:/", root}), files);
  const size_t n = tagGroupFiles.size();
  std::vector<std::string> tagGroupUris(uris.begin(), uris.begin() + static_cast<long>(n));
  return std::make_shared<Edge>(uris[n + 2], uris[n + 1], uris[n], tagGroupUris, contextId);
}

Edge::Edge(const std::string &busConfigUri, const std::string &propertiesUri,
           const std::string &classUri, const std::vector<std::string> &tagGroupUris,
           const std::string &contextId)
    : busConfigUri_(busConfigUri),
      propertiesUri_(propertiesUri),
      classUri_(classUri),
      tagGroupUris_(tagGroupUris),
      contextId_(contextId) {
  bus_ = TideMesh::getInstance("config=" + busConfigUri_);
  mainThing_ = createThing(tagGroupUris_, classUri_, propertiesUri_, true);
  mainThingId_ = mainThing_.getId();
}

Edge::~Edge() {
  std::cout << "edge ~Edge() called.\n";
  deinit();
}

Thing Edge::createThing(const std::vector<std::string> &tagGroupUris, const std::string &classUri,
                        const std::string &propertiesUri, bool autoId) {
  try {
    mesh::JSonTagGroupRegistry tagGroups;
    for (const std::string &uri : tagGroupUris) tagGroups.registerTagGroupsFromURI(uri);
    bus_.addTagGroupRegistry(tagGroups);
  } catch (const std::exception &e) {
    std::cout << "Load Tag group failed." << std::endl;
  }
  try {
    mesh::JSonThingClassRegistry classes;
    classes.registerThingClassesFromURI(classUri);
    bus_.addThingClassRegistry(classes);
  } catch (const std::exception &e) {
    std::cout << "Load Thing Class failed." << std::endl;
  }
  mesh::JSonThingProperties properties;
  try {
    const bool hasContext = !contextId_.empty();
    if (autoId && hasContext)
      properties.readPropertiesFromString(
          replace_thing_property_context_id(autoGenerateTingID(propertiesUri), contextId_, false));
    else if (autoId)
      properties.readPropertiesFromString(autoGenerateTingID(propertiesUri));
    else if (!hasContext)
      properties.readPropertiesFromURI(propertiesUri);
    else
      properties.readPropertiesFromString(
          replace_thing_property_context_id(propertiesUri, contextId_, true));
  } catch (const std::exception &e) {
    std::cout << "Load Thing Properties failed." << std::endl;
  }
  Thing thing = bus_.createThing(properties);
  std::cout << "[" << thing.getId() << "] Init flow " << thing.getContextId() << " done"
            << std::endl;
  return thing;
}

void Edge::AddThing(const std::string &name, const std::string &propertiesFile,
                    const std::string &classFile, const std::vector<std::string> &tagGroupFiles) {
  std::vector<std::string> files = tagGroupFiles;
  files.push_back(classFile);
  files.push_back(propertiesFile);
  std::string root = search_files(files);
  if (root.empty()) {
    std::cerr << "Can not find all edge configuration files" << std::endl;
    return;
  }
  std::cout << "Find NodeKit configuration files under " << root << std::endl;
  std::vector<std::string> uris = combine_paths(path_join({"file:/", root}), files);
  const size_t n = tagGroupFiles.size();
  std::vector<std::string> tagGroupUris(uris.begin(), uris.begin() + static_cast<long>(n));
  Thing thing = createThing(tagGroupUris, uris[n], uris[n + 1], true);
  if (!things_.emplace(name, thing).second) thing.close();
}

void Edge::writeSample(const std::string &name, const NVPSeq &nvps) {
  auto it = things_.find(name);
  if (it != things_.end())
    it->second.write(name, nvps);
  else
    mainThing_.write(name, nvps);
}

bool Edge::deinit() {
  stop_.store(true);
  for (int i = 0; i < 10 && running_.load() != 0; ++i)
    std::this_thread::sleep_for(std::chrono::seconds(1));
  for (std::thread &t : threads_)
    if (t.joinable()) t.join();
  threads_.clear();
  mainThing_.close();
  for (auto &kv : things_) kv.second.close();
  bus_.close();
  return true;
}

}  // namespace VXCORE
