/* CPU stand-in: the plug-in factory interfaces of the network-description
 * parser (no parser is provided; networks arrive as engine files). */
#ifndef OV_CPU_NV_CAFFE_PARSER_H
#define OV_CPU_NV_CAFFE_PARSER_H

#include "NvInfer.h"

namespace nvcaffeparser1 {

class IPluginFactory {
 public:
  virtual bool isPlugin(const char *layerName) = 0;
  virtual nvinfer1::IPlugin *createPlugin(const char *layerName,
                                          const nvinfer1::Weights *weights, int nbWeights) = 0;
  virtual ~IPluginFactory() {}
};

class IPluginFactoryExt : public IPluginFactory {
 public:
  virtual int getVersion() const { return NV_TENSORRT_VERSION; }
  virtual bool isPluginExt(const char *layerName) = 0;
};

}  // namespace nvcaffeparser1

#endif /* OV_CPU_NV_CAFFE_PARSER_H */
