#include "PluginFactory.h"

#include <cstring>
#include <regex>

namespace Tn {

namespace {

bool matches(const char *name, const std::regex &re) {
  return name != nullptr && std::regex_match(name, re);
}

}  // namespace

bool PluginFactory::isLeakyReluName(const char *layerName) {
  static const std::regex re(R"(layer(\d*)-act)", std::regex::ECMAScript);
  return matches(layerName, re);
}

bool PluginFactory::isUpsampleName(const char *layerName) {
  static const std::regex re(R"(layer(\d*)-upsample)", std::regex::ECMAScript);
  return matches(layerName, re);
}

bool PluginFactory::isYoloName(const char *layerName) {
  return layerName != nullptr && std::strcmp(layerName, "yolo-det") == 0;
}

bool PluginFactory::isPluginExt(const char *layerName) {
  return isLeakyReluName(layerName) || isUpsampleName(layerName) || isYoloName(layerName);
}

nvinfer1::IPlugin *PluginFactory::createPlugin(const char *layerName,
                                               const nvinfer1::Weights *weights, int nbWeights) {
  if (isLeakyReluName(layerName))
    return nullptr; /* not provided by this factory */
  if (nbWeights != 0)
    return nullptr;
  if (isUpsampleName(layerName)) {
    mPluginUpsample.emplace_back(new nvinfer1::UpsampleLayerPlugin(2.0f, 512));
    return mPluginUpsample.back().get();
  }
  if (isYoloName(layerName) && !mPluginYolo) {
    mPluginYolo.reset(new nvinfer1::YoloLayerPlugin(512));
    return mPluginYolo.get();
  }
  return nullptr;
}

nvinfer1::IPlugin *PluginFactory::createPlugin(const char *layerName, const void *serialData,
                                               size_t serialLength) {
  if (serialData == nullptr)
    return nullptr;
  if (isUpsampleName(layerName)) {
    std::unique_ptr<nvinfer1::UpsampleLayerPlugin> p(
        new nvinfer1::UpsampleLayerPlugin(serialData, serialLength));
    if (!p->valid())
      return nullptr;
    mPluginUpsample.push_back(std::move(p));
    return mPluginUpsample.back().get();
  }
  if (isYoloName(layerName) && !mPluginYolo) {
    std::unique_ptr<nvinfer1::YoloLayerPlugin> p(
        new nvinfer1::YoloLayerPlugin(serialData, serialLength));
    if (!p->valid())
      return nullptr;
    mPluginYolo = std::move(p);
    return mPluginYolo.get();
  }
  return nullptr;
}

void PluginFactory::destroyPlugin() {
  mPluginUpsample.clear();
  mPluginYolo.reset();
}

}  // namespace Tn
