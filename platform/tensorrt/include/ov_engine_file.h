/* The serialized engine file of the CPU engine layer (docs/engine-format.md):
 * the model blobs it runs, its maximum batch size and its bindings.  The
 * parser treats every file as hostile: it checks lengths, limits and
 * checksums before it trusts a byte, and never reads outside the input. */
#ifndef OV_ENGINE_FILE_H
#define OV_ENGINE_FILE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#define OV_ENGINE_FILE_API

namespace ovengine {

constexpr char kMagic[8] = {'O', 'V', 'T', 'R', 'T', 'E', 'N', 'G'};
constexpr uint32_t kVersion = 1;

/* Limits the parser enforces. */
constexpr uint32_t kMaxBatchLimit = 4096;
constexpr uint32_t kMaxBlobs = 4;
constexpr uint32_t kMaxString = 4096;
constexpr uint32_t kMaxDims = 8;
constexpr int32_t kMaxDimValue = 1 << 24;
constexpr uint64_t kMaxBindingVolume = 1ull << 28; /* elements per image */
constexpr uint32_t kMaxOutputs = 64;
constexpr uint32_t kMaxPluginInputs = 8;
constexpr uint32_t kMaxPluginSerial = 1u << 20;

enum class ModelFormat : uint32_t { Onnx = 1, Darknet = 2, Caffe = 3 };
enum class BlobKind : uint32_t { Model = 1, Config = 2, Weights = 3 };
/* Where an output binding's values come from. */
enum class OutputSource : uint32_t { Layer = 0, Plugin = 1 };

struct Blob {
  BlobKind kind = BlobKind::Model;
  std::string data;
};

struct Tensor {
  std::string name;
  std::vector<int32_t> dims; /* per image, without the batch */
};

struct InputBinding {
  std::string name;
  std::string modelInput; /* the model's own input name ("" = default) */
  std::vector<int32_t> dims; /* C, H, W */
  uint32_t dataType = 0;     /* nvinfer1::DataType; only kFLOAT runs */
};

struct OutputBinding {
  std::string name;
  OutputSource source = OutputSource::Layer;
  std::vector<int32_t> dims;
  uint32_t dataType = 0;
  std::string layer;               /* Layer: the network layer copied out */
  std::string pluginName;          /* Plugin: the factory's layer name */
  std::string pluginSerial;        /* Plugin: its serialized form */
  std::vector<Tensor> pluginInputs;/* Plugin: network layers it consumes */
};

struct EngineFile {
  uint32_t maxBatch = 1;
  ModelFormat format = ModelFormat::Onnx;
  std::vector<Blob> blobs;
  uint64_t expectedWeightsSize = 0; /* darknet: the size the cfg implies */
  InputBinding input;
  std::vector<OutputBinding> outputs;

  const Blob *blob(BlobKind kind) const;
};

OV_ENGINE_FILE_API uint32_t crc32(const void *data, size_t size);
OV_ENGINE_FILE_API uint64_t volume(const std::vector<int32_t> &dims);

/* The file's bytes.  Fails (with a reason) on a description the parser
 * would refuse. */
OV_ENGINE_FILE_API bool serialize(const EngineFile &engine, std::string &out, std::string &error);

/* Parses and validates a whole file; on failure `error` says why. */
OV_ENGINE_FILE_API bool parse(const void *data, size_t size, EngineFile &out, std::string &error);

}  // namespace ovengine

#endif /* OV_ENGINE_FILE_H */
