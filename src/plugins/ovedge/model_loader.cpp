#include "model_loader.h"

#include "edge_log.h"

#define GST_CAT_DEFAULT ov_edge_debug

namespace VXCORE {

namespace {

struct FileSet {
  const char *properties;
  const char *thingClass;
  const char *tagGroup;
};

/* The configuration files of a tag group in one direction; null when the
 * name is not one the bridge knows or needs no thing of its own. */
const FileSet *files_of(const std::string &name, bool out) {
  static const FileSet kOut[] = {
      {"config/DetectionBoxThingOutProperties.json",
       "definitions/ThingClass/com.vision.data/DetectionBoxThingOutClass.json",
       "definitions/TagGroup/com.vision.data/DetectionBoxTagGroup.json"},
      {"config/ClassificationThingOutProperties.json",
       "definitions/ThingClass/com.vision.data/ClassificationThingOutClass.json",
       "definitions/TagGroup/com.vision.data/ClassificationTagGroup.json"},
      {"config/SegmentationThingOutProperties.json",
       "definitions/ThingClass/com.vision.data/SegmentationThingOutClass.json",
       "definitions/TagGroup/com.vision.data/SegmentationTagGroup.json"},
      {"config/DeviceInfoThingOutProperties.json",
       "definitions/ThingClass/com.vision.data/DeviceInfoThingOutClass.json",
       "definitions/TagGroup/com.vision.data/DeviceInfoTagGroup.json"},
  };
  static const FileSet kIn[] = {
      {"config/DetectionBoxThingInProperties.json",
       "definitions/ThingClass/com.vision.data/DetectionBoxThingInClass.json",
       "definitions/TagGroup/com.vision.data/DetectionBoxTagGroup.json"},
      {"config/ClassificationThingInProperties.json",
       "definitions/ThingClass/com.vision.data/ClassificationThingInClass.json",
       "definitions/TagGroup/com.vision.data/ClassificationTagGroup.json"},
      {"config/SegmentationThingInProperties.json",
       "definitions/ThingClass/com.vision.data/SegmentationThingInClass.json",
       "definitions/TagGroup/com.vision.data/SegmentationTagGroup.json"},
      {"config/DeviceInfoThingInProperties.json",
       "definitions/ThingClass/com.vision.data/DeviceInfoThingInClass.json",
       "definitions/TagGroup/com.vision.data/DeviceInfoTagGroup.json"},
  };
  const FileSet *set = out ? kOut : kIn;
  switch (fnv1a(name)) {
    case fnv1a("DetectionBoxData"): return &set[0];
    case fnv1a("ClassificationData"): return &set[1];
    case fnv1a("SegmentationData"): return &set[2];
    case fnv1a("DeviceInfoData"): return &set[3];
    default: return nullptr;
  }
}

}  // namespace

void ModelLoader::addThingOutByProp(const std::shared_ptr<Edge> &edge, std::vector<std::string> &names) {
  ov_edge_debug_init();
  for (const std::string &name : names) {
    if (const FileSet *f = files_of(name, true)) {
      edge->AddThing(name, f->properties, f->thingClass, {f->tagGroup});
    } else if (fnv1a(name) != fnv1a("VideoFrameData")) {
      GST_ERROR("No matched tag group name.");
    }
  }
}

void ModelLoader::addThingInByProp(const std::shared_ptr<Edge> &edge, std::vector<std::string> &names,
                                   ReceiveImage &receiver, const std::string &flowId) {
  ov_edge_debug_init();
  // Frames wait for the results of the kinds read here, and only those.
  unsigned kinds = 0;
  for (const std::string &name : names) {
    switch (fnv1a(name)) {
      case fnv1a("DetectionBoxData"): kinds |= kDetection; break;
      case fnv1a("ClassificationData"): kinds |= kClassification; break;
      case fnv1a("SegmentationData"): kinds |= kSegmentation; break;
      default: break;
    }
  }
  receiver.synchronizer.SetExpectedKinds(kinds);
  for (const std::string &name : names) {
    const FileSet *f = files_of(name, false);
    if (!f) {
      if (fnv1a(name) != fnv1a("VideoFrameData")) GST_ERROR("No matched tag group name.");
      continue;
    }
    edge->AddThing(name, f->properties, f->thingClass, {f->tagGroup});
    switch (fnv1a(name)) {
      case fnv1a("DetectionBoxData"):
        edge->startReader<ReceiveImage, Information<DetectionBoxData>>(&receiver, name, flowId);
        break;
      case fnv1a("ClassificationData"):
        edge->startReader<ReceiveImage, Information<ClassificationData>>(&receiver, name, flowId);
        break;
      case fnv1a("SegmentationData"):
        edge->startReader<ReceiveImage, SegmentInfo>(&receiver, name, flowId);
        break;
      case fnv1a("DeviceInfoData"):
        edge->startReader<ReceiveImage, DeviceInfo>(&receiver, name, flowId);
        break;
    }
  }
}

}  // namespace VXCORE
