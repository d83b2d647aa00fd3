/* Creates the custom layers by name, from a network description being
 * parsed or from the serialized form in an engine, and owns them. */
#ifndef TRTNET_PLUGIN_FACTORY_H
#define TRTNET_PLUGIN_FACTORY_H

#include <memory>
#include <vector>

#include <NvCaffeParser.h>
#include <NvInfer.h>
#include <NvInferPlugin.h>

#include "UpsampleLayer.h"
#include "YoloLayer.h"

namespace Tn {

class PluginFactory : public nvinfer1::IPluginFactory, public nvcaffeparser1::IPluginFactoryExt {
 public:
  PluginFactory() = default;
  PluginFactory(const PluginFactory &) = delete;
  PluginFactory &operator=(const PluginFactory &) = delete;

  nvinfer1::IPlugin *createPlugin(const char *layerName, const void *serialData,
                                  size_t serialLength) override;
  ~PluginFactory() override { destroyPlugin(); }

  bool isPlugin(const char *layerName) override { return isPluginExt(layerName); }
  nvinfer1::IPlugin *createPlugin(const char *layerName, const nvinfer1::Weights *weights,
                                  int nbWeights) override;
  int getVersion() const override { return NV_TENSORRT_VERSION; }
  bool isPluginExt(const char *layerName) override;

  /* Destroys every plug-in created so far. */
  void destroyPlugin();

  static bool isLeakyReluName(const char *layerName);
  static bool isUpsampleName(const char *layerName);
  static bool isYoloName(const char *layerName);

  size_t upsampleCount() const { return mPluginUpsample.size(); }
  bool hasYolo() const { return mPluginYolo != nullptr; }

 private:
  void (*nvPluginDeleter)(nvinfer1::plugin::INvPlugin *) = [](nvinfer1::plugin::INvPlugin *p) {
    p->destroy();
  };
  std::vector<std::unique_ptr<nvinfer1::UpsampleLayerPlugin>> mPluginUpsample;
  std::unique_ptr<nvinfer1::YoloLayerPlugin> mPluginYolo;
};

}  // namespace Tn

#endif
