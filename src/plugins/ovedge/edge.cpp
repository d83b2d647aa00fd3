#include "edge.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <regex>
#include <stdexcept>

#include "edge_log.h"
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

namespace {
/* The file a "file://" URI names (a relative root stays relative), as the
 * registry reads it. */
std::string uri_path(const std::string &uri) {
  const std::string scheme = "file://";
  return uri.compare(0, scheme.size(), scheme) == 0 ? uri.substr(scheme.size()) : uri;
}

/* "<what> <file>: <reason>", the file said once. */
std::runtime_error file_error(const std::string &what, const std::string &uri,
                              const std::exception &e) {
  const std::string path = uri_path(uri);
  std::string reason = e.what();
  if (reason.compare(0, path.size() + 2, path + ": ") == 0) reason.erase(0, path.size() + 2);
  return std::runtime_error(what + " " + path + ": " + reason);
}
}  // namespace

std::string installed_data_root() {
  Dl_info info{};
  if (!dladdr(reinterpret_cast<void *>(&installed_data_root), &info) || !info.dli_fname)
    return "";
  std::string module = info.dli_fname;
  const size_t slash = module.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : module.substr(0, slash);
  // OV_EDGE_DATA_FROM_MODULE: the installed data folder relative to the
  // plug-in's folder, as the build lays both out.
  const std::string root = path_join({dir, OV_EDGE_DATA_FROM_MODULE});
  struct stat st {};
  if (stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return "";
  // Said in messages: the folder's own name, without the "plugins/ovedge/..".
  std::unique_ptr<char, decltype(&std::free)> real(realpath(root.c_str(), nullptr), &std::free);
  return real ? std::string(real.get()) : root;
}

namespace {
/* The roots tried before $VXA_ROOT, in order. */
const char *const kFixedRoots[] = {".", "/opt/orvane/vxa", "/src/common/data_model",
                                   "./common/data_model"};
}  // namespace

std::vector<std::string> search_roots() {
  std::vector<std::string> roots(std::begin(kFixedRoots), std::end(kFixedRoots));
  if (const char *env = std::getenv("VXA_ROOT")) roots.push_back(env);
  const std::string installed = installed_data_root();
  if (!installed.empty()) roots.push_back(installed);
  return roots;
}

std::string search_roots_text() {
  std::string text;
  for (const char *root : kFixedRoots) text += "\"" + std::string(root) + "\", ";
  text += "$VXA_ROOT";
  const char *env = std::getenv("VXA_ROOT");
  text += env ? " (\"" + std::string(env) + "\")" : std::string(" (not set)");
  const std::string installed = installed_data_root();
  text += installed.empty() ? std::string(", no installed data folder beside the plug-in")
                            : ", \"" + installed + "\"";
  return text;
}

std::string search_files(const std::vector<std::string> &files) {
  for (const std::string &root : search_roots()) {
    bool all = true;
    for (const std::string &f : files) all = all && is_file_exist(path_join({root, f}));
    if (all) return root;
  }
  return "";
}

namespace {
std::string properties_with_id(const std::string &uri, const std::string &id);
}

std::string autoGenerateTingID(const std::string &uri, bool) {
  ov_edge_debug_init();
  return properties_with_id(uri, generateUUID());
}

namespace {
/* The properties text of `uri` with its thing id (the value of the first key)
 * replaced by `id`. */
std::string properties_with_id(const std::string &uri, const std::string &id) {
  std::string path = strip_scheme(uri);
  std::string text;
  if (!read_file(path, text)) {
    std::cout << "[OPEN ERROR] " << path << " in autoGenerateTingID" << std::endl;
    return "";
  }
  size_t colon = text.find(':');
  if (colon == std::string::npos || !replace_quoted(text, colon + 1, id))
    GST_CAT_WARNING(ov_edge_debug, "no quoted thing id after the first ':' in %s; thing id left "
                    "unchanged", path.c_str());
  return text;
}
}  // namespace

std::string replace_thing_property_context_id(const std::string &input, const std::string &contextId,
                                              bool fromFile) {
  ov_edge_debug_init();
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
    GST_CAT_WARNING(ov_edge_debug,
                    "no quoted \"contextId\": value in the thing properties; context id %s not set",
                    contextId.c_str());
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
  // Things are named "<publisher>/<role>": a receiver tells which records
  // one publisher wrote by the part before the '/'.
  mainThing_ = createThing(tagGroupUris_, classUri_, propertiesUri_, true, generateUUID() + "/main");
  mainThingId_ = mainThing_.getId();
}

Edge::~Edge() {
  std::cout << "edge ~Edge() called.\n";
  deinit();
}

Thing Edge::createThing(const std::vector<std::string> &tagGroupUris, const std::string &classUri,
                        const std::string &propertiesUri, bool autoId, const std::string &thingId) {
  // A file that cannot be read or parsed ends the set-up with its name: a
  // thing made without it would only fail later, naming nothing.
  mesh::JSonTagGroupRegistry tagGroups;
  for (const std::string &uri : tagGroupUris) {
    try {
      tagGroups.registerTagGroupsFromURI(uri);
    } catch (const std::exception &e) {
      std::cout << "Load Tag group failed." << std::endl;
      throw file_error("tag group file", uri, e);
    }
  }
  bus_.addTagGroupRegistry(tagGroups);
  {
    std::lock_guard<std::mutex> lock(thingsMutex_);
    for (const auto &kv : tagGroups.tagGroups()) {
      std::vector<std::string> &tags = tagsByGroup_[kv.first];
      tags.clear();
      for (const auto &t : kv.second.tags) tags.push_back(t.name);
    }
  }
  try {
    mesh::JSonThingClassRegistry classes;
    classes.registerThingClassesFromURI(classUri);
    bus_.addThingClassRegistry(classes);
  } catch (const std::exception &e) {
    std::cout << "Load Thing Class failed." << std::endl;
    throw file_error("thing class file", classUri, e);
  }
  mesh::JSonThingProperties properties;
  try {
    const bool hasContext = !contextId_.empty();
    const std::string withId = !autoId              ? std::string()
                               : thingId.empty() ? autoGenerateTingID(propertiesUri)
                                                 : properties_with_id(propertiesUri, thingId);
    if (autoId && hasContext)
      properties.readPropertiesFromString(
          replace_thing_property_context_id(withId, contextId_, false));
    else if (autoId)
      properties.readPropertiesFromString(withId);
    else if (!hasContext)
      properties.readPropertiesFromURI(propertiesUri);
    else
      properties.readPropertiesFromString(
          replace_thing_property_context_id(propertiesUri, contextId_, true));
  } catch (const std::exception &e) {
    std::cout << "Load Thing Properties failed." << std::endl;
    throw file_error("thing properties file", propertiesUri, e);
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
    std::string names;
    for (const std::string &f : files) names += (names.empty() ? "" : ", ") + f;
    throw std::runtime_error("Can not find all edge configuration files of " + name + " (" +
                             names + ") under any search root");
  }
  std::cout << "Find NodeKit configuration files under " << root << std::endl;
  std::vector<std::string> uris = combine_paths(path_join({"file:/", root}), files);
  const size_t n = tagGroupFiles.size();
  std::vector<std::string> tagGroupUris(uris.begin(), uris.begin() + static_cast<long>(n));
  const std::string publisher = mainThingId_.substr(0, mainThingId_.find('/'));
  Thing thing = createThing(tagGroupUris, uris[n], uris[n + 1], true, publisher + "/" + name);
  bool added;
  {
    std::lock_guard<std::mutex> lock(thingsMutex_);
    added = things_.emplace(name, thing).second;
  }
  if (!added) thing.close();
}

Thing *Edge::findThing(const std::string &name) const {
  std::lock_guard<std::mutex> lock(thingsMutex_);
  auto it = things_.find(name);
  return it == things_.end() ? nullptr : const_cast<Thing *>(&it->second);
}

bool Edge::tagGroupDefines(const std::string &group, const std::string &tag) const {
  std::lock_guard<std::mutex> lock(thingsMutex_);
  auto it = tagsByGroup_.find(group);
  if (it == tagsByGroup_.end()) return false;
  for (const std::string &t : it->second)
    if (t == tag) return true;
  return false;
}

Thing &Edge::thing(const std::string &name) {
  Thing *t = findThing(name);
  if (!t) throw std::out_of_range("no thing for tag group " + name);
  return *t;
}

void Edge::keepSelector(const Thing::Selector &selector) {
  std::lock_guard<std::mutex> lock(thingsMutex_);
  selectors_.push_back(selector);
}

void Edge::waitStop(std::chrono::milliseconds most) {
  std::unique_lock<std::mutex> lock(stopMutex_);
  stopCv_.wait_for(lock, most, [this] { return stop_.load(); });
}

void Edge::writeSample(const std::string &name, const NVPSeq &nvps) {
  Thing *thing = findThing(name);
  (thing ? *thing : mainThing_).write(name, nvps);
}

bool Edge::deinit() {
  {
    std::lock_guard<std::mutex> lock(stopMutex_);
    stop_.store(true);
  }
  stopCv_.notify_all();
  // Readers blocked in a read return at once instead of at its time-out.
  std::vector<Thing::Selector> selectors;
  {
    std::lock_guard<std::mutex> lock(thingsMutex_);
    selectors = selectors_;
  }
  for (Thing::Selector &s : selectors) s.wake();
  for (std::thread &t : threads_)
    if (t.joinable()) t.join();
  threads_.clear();
  {
    std::lock_guard<std::mutex> lock(thingsMutex_);
    selectors_.clear();
  }
  mainThing_.close();
  std::lock_guard<std::mutex> lock(thingsMutex_);
  for (auto &kv : things_) kv.second.close();
  bus_.close();
  return true;
}

/* ------------------------------------------------------------- malformed samples */

MalformedReport::MalformedReport(std::string tagGroup, Sink sink)
    : tagGroup_(std::move(tagGroup)), sink_(std::move(sink)) {
  if (!sink_) {
    ov_edge_debug_init();
    sink_ = [](const std::string &line) {
      GST_CAT_WARNING(ov_edge_debug, "%s", line.c_str());
    };
  }
}

void MalformedReport::add(const std::string &reason) {
  ++pending_;
  ++total_;
  reason_ = reason;
}

void MalformedReport::transport(uint64_t total, const std::string &reason) {
  if (total <= transportSeen_) return;
  const uint64_t fresh = total - transportSeen_;
  transportSeen_ = total;
  pending_ += fresh;
  total_ += fresh;
  reason_ = reason;
}

void MalformedReport::flush(Clock::time_point now, bool force) {
  if (pending_ == 0) return;
  if (!force && reported_ && now - last_ < std::chrono::seconds(1)) return;
  sink_("dropped " + std::to_string(pending_) + " malformed samples of " + tagGroup_ +
        " in the last second: " + reason_);
  pending_ = 0;
  last_ = now;
  reported_ = true;
}

}  // namespace VXCORE
