/* CPU stand-in for TensorRT's standard plug-in library: nothing to register. */
#ifndef OV_CPU_NV_INFER_PLUGIN_H
#define OV_CPU_NV_INFER_PLUGIN_H

#include "NvInfer.h"

namespace nvinfer1 {
namespace plugin {
/* A plug-in of the standard library, released through destroy(). */
class INvPlugin : public IPlugin {
 public:
  virtual void destroy() = 0;
};
}  // namespace plugin
}  // namespace nvinfer1

extern "C" OV_NVINFER_API bool initLibNvInferPlugins(void *logger, const char *libNamespace);

#endif /* OV_CPU_NV_INFER_PLUGIN_H */
