#include "ov_engine_file.h"

#include <array>
#include <cstring>

namespace ovengine {

namespace {

std::array<uint32_t, 256> make_crc_table() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k)
      c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}

class Writer {
 public:
  explicit Writer(std::string &out) : out_(out) {}
  void bytes(const void *p, size_t n) { out_.append(static_cast<const char *>(p), n); }
  void u32(uint32_t v) {
    unsigned char b[4];
    for (int i = 0; i < 4; ++i)
      b[i] = static_cast<unsigned char>(v >> (8 * i));
    bytes(b, 4);
  }
  void u64(uint64_t v) {
    u32(static_cast<uint32_t>(v));
    u32(static_cast<uint32_t>(v >> 32));
  }
  void i32(int32_t v) { u32(static_cast<uint32_t>(v)); }
  void str(const std::string &s) {
    u32(static_cast<uint32_t>(s.size()));
    bytes(s.data(), s.size());
  }
  void dims(const std::vector<int32_t> &d) {
    u32(static_cast<uint32_t>(d.size()));
    for (int32_t v : d)
      i32(v);
  }

 private:
  std::string &out_;
};

class Reader {
 public:
  Reader(const unsigned char *p, size_t n) : p_(p), n_(n) {}
  size_t left() const { return n_ - pos_; }
  size_t pos() const { return pos_; }
  bool bytes(void *dst, size_t n) {
    if (n > left())
      return false;
    std::memcpy(dst, p_ + pos_, n);
    pos_ += n;
    return true;
  }
  bool u32(uint32_t &v) {
    if (left() < 4)
      return false;
    v = 0;
    for (int i = 0; i < 4; ++i)
      v |= static_cast<uint32_t>(p_[pos_ + i]) << (8 * i);
    pos_ += 4;
    return true;
  }
  bool u64(uint64_t &v) {
    uint32_t lo, hi;
    if (!u32(lo) || !u32(hi))
      return false;
    v = (static_cast<uint64_t>(hi) << 32) | lo;
    return true;
  }
  bool str(std::string &s, uint32_t limit) {
    uint32_t len;
    if (!u32(len) || len > limit || len > left())
      return false;
    s.assign(reinterpret_cast<const char *>(p_ + pos_), len);
    pos_ += len;
    return true;
  }
  bool blob(std::string &s, uint64_t len) {
    if (len > left())
      return false;
    s.assign(reinterpret_cast<const char *>(p_ + pos_), static_cast<size_t>(len));
    pos_ += static_cast<size_t>(len);
    return true;
  }

 private:
  const unsigned char *p_;
  size_t n_;
  size_t pos_ = 0;
};

bool valid_dims(const std::vector<int32_t> &d) {
  if (d.empty() || d.size() > kMaxDims)
    return false;
  uint64_t v = 1;
  for (int32_t x : d) {
    if (x < 1 || x > kMaxDimValue)
      return false;
    v *= static_cast<uint64_t>(x);
    if (v > kMaxBindingVolume)
      return false;
  }
  return true;
}

bool read_dims(Reader &r, std::vector<int32_t> &d) {
  uint32_t n;
  if (!r.u32(n) || n == 0 || n > kMaxDims)
    return false;
  d.resize(n);
  for (auto &x : d) {
    uint32_t v;
    if (!r.u32(v))
      return false;
    x = static_cast<int32_t>(v);
  }
  return valid_dims(d);
}

bool fail(std::string &error, const std::string &why) {
  error = why;
  return false;
}

/* Checks that hold for a description whatever its origin. */
bool validate(const EngineFile &e, std::string &error) {
  if (e.maxBatch < 1 || e.maxBatch > kMaxBatchLimit)
    return fail(error, "max batch size " + std::to_string(e.maxBatch) + " out of range");
  if (e.format != ModelFormat::Onnx && e.format != ModelFormat::Darknet &&
      e.format != ModelFormat::Caffe)
    return fail(error, "unknown model format");
  if (e.blobs.empty() || e.blobs.size() > kMaxBlobs)
    return fail(error, "bad number of model blobs");
  for (size_t i = 0; i < e.blobs.size(); ++i)
    for (size_t j = i + 1; j < e.blobs.size(); ++j)
      if (e.blobs[i].kind == e.blobs[j].kind)
        return fail(error, "duplicate model blob");
  switch (e.format) {
    case ModelFormat::Onnx:
      if (!e.blob(BlobKind::Model))
        return fail(error, "onnx engine without its model blob");
      break;
    case ModelFormat::Darknet: {
      const Blob *cfg = e.blob(BlobKind::Config);
      const Blob *weights = e.blob(BlobKind::Weights);
      if (!cfg || !weights)
        return fail(error, "darknet engine needs its cfg and weights blobs");
      if (weights->data.size() != e.expectedWeightsSize)
        return fail(error, "darknet weights are " + std::to_string(weights->data.size()) +
                               " bytes, the cfg needs " + std::to_string(e.expectedWeightsSize));
      break;
    }
    case ModelFormat::Caffe:
      if (!e.blob(BlobKind::Config))
        return fail(error, "caffe engine without its prototxt blob");
      break;
  }
  if (e.input.name.empty() || e.input.name.size() > kMaxString ||
      e.input.modelInput.size() > kMaxString)
    return fail(error, "bad input binding name");
  if (e.input.dims.size() != 3 || !valid_dims(e.input.dims))
    return fail(error, "input binding dims must be C,H,W within limits");
  if (e.input.dataType != 0)
    return fail(error, "input binding must be float");
  if (e.outputs.empty() || e.outputs.size() > kMaxOutputs)
    return fail(error, "bad number of output bindings");
  for (const auto &o : e.outputs) {
    if (o.name.empty() || o.name.size() > kMaxString)
      return fail(error, "bad output binding name");
    if (!valid_dims(o.dims))
      return fail(error, "output binding '" + o.name + "' has bad dims");
    if (o.dataType > 4)
      return fail(error, "output binding '" + o.name + "' has an unknown data type");
    if (o.source == OutputSource::Layer) {
      if (o.layer.empty() || o.layer.size() > kMaxString)
        return fail(error, "output binding '" + o.name + "' names no layer");
    } else if (o.source == OutputSource::Plugin) {
      if (o.pluginName.empty() || o.pluginName.size() > kMaxString ||
          o.pluginSerial.size() > kMaxPluginSerial)
        return fail(error, "output binding '" + o.name + "' has a bad plug-in layer");
      if (o.pluginInputs.empty() || o.pluginInputs.size() > kMaxPluginInputs)
        return fail(error, "output binding '" + o.name + "' has a bad plug-in input count");
      for (const auto &t : o.pluginInputs)
        if (t.name.empty() || t.name.size() > kMaxString || !valid_dims(t.dims))
          return fail(error, "output binding '" + o.name + "' has a bad plug-in input");
    } else {
      return fail(error, "output binding '" + o.name + "' has an unknown source");
    }
  }
  return true;
}

}  // namespace

const Blob *EngineFile::blob(BlobKind kind) const {
  for (const auto &b : blobs)
    if (b.kind == kind)
      return &b;
  return nullptr;
}

uint32_t crc32(const void *data, size_t size) {
  static const std::array<uint32_t, 256> table = make_crc_table();
  const auto *p = static_cast<const unsigned char *>(data);
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i)
    c = table[(c ^ p[i]) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

uint64_t volume(const std::vector<int32_t> &dims) {
  uint64_t v = 1;
  for (int32_t d : dims)
    v *= static_cast<uint64_t>(d > 0 ? d : 0);
  return v;
}

bool serialize(const EngineFile &e, std::string &out, std::string &error) {
  if (!validate(e, error))
    return false;
  out.clear();
  Writer w(out);
  w.bytes(kMagic, sizeof kMagic);
  w.u32(kVersion);
  w.u32(e.maxBatch);
  w.u32(static_cast<uint32_t>(e.format));
  w.u32(static_cast<uint32_t>(e.blobs.size()));
  for (const auto &b : e.blobs) {
    w.u32(static_cast<uint32_t>(b.kind));
    w.u64(b.data.size());
    w.u32(crc32(b.data.data(), b.data.size()));
    w.bytes(b.data.data(), b.data.size());
  }
  w.u64(e.expectedWeightsSize);
  w.str(e.input.name);
  w.str(e.input.modelInput);
  w.dims(e.input.dims);
  w.u32(e.input.dataType);
  w.u32(static_cast<uint32_t>(e.outputs.size()));
  for (const auto &o : e.outputs) {
    w.str(o.name);
    w.u32(static_cast<uint32_t>(o.source));
    w.dims(o.dims);
    w.u32(o.dataType);
    if (o.source == OutputSource::Layer) {
      w.str(o.layer);
    } else {
      w.str(o.pluginName);
      w.str(o.pluginSerial);
      w.u32(static_cast<uint32_t>(o.pluginInputs.size()));
      for (const auto &t : o.pluginInputs) {
        w.str(t.name);
        w.dims(t.dims);
      }
    }
  }
  w.u32(crc32(out.data(), out.size()));
  return true;
}

bool parse(const void *data, size_t size, EngineFile &out, std::string &error) {
  out = EngineFile{};
  if (data == nullptr || size < sizeof kMagic + 8)
    return fail(error, "engine file too short (" + std::to_string(size) + " bytes)");
  const auto *bytes = static_cast<const unsigned char *>(data);
  if (std::memcmp(bytes, kMagic, sizeof kMagic) != 0)
    return fail(error, "not an engine file (bad magic)");
  const size_t body = size - 4;
  uint32_t stored = 0;
  for (int i = 0; i < 4; ++i)
    stored |= static_cast<uint32_t>(bytes[body + i]) << (8 * i);
  if (crc32(bytes, body) != stored)
    return fail(error, "engine file checksum mismatch (truncated or corrupted)");

  Reader r(bytes, body);
  char magic[8];
  r.bytes(magic, sizeof magic);
  uint32_t version, format, nblobs;
  if (!r.u32(version) || version != kVersion)
    return fail(error, "unsupported engine file version");
  if (!r.u32(out.maxBatch) || out.maxBatch < 1 || out.maxBatch > kMaxBatchLimit)
    return fail(error, "bad max batch size");
  if (!r.u32(format))
    return fail(error, "short engine file");
  out.format = static_cast<ModelFormat>(format);
  if (!r.u32(nblobs) || nblobs == 0 || nblobs > kMaxBlobs)
    return fail(error, "bad number of model blobs");
  for (uint32_t i = 0; i < nblobs; ++i) {
    Blob b;
    uint32_t kind, crc;
    uint64_t len;
    if (!r.u32(kind) || !r.u64(len) || !r.u32(crc))
      return fail(error, "short engine file (blob header)");
    if (kind < 1 || kind > 3)
      return fail(error, "unknown model blob kind");
    b.kind = static_cast<BlobKind>(kind);
    if (!r.blob(b.data, len))
      return fail(error, "model blob longer than the file");
    if (crc32(b.data.data(), b.data.size()) != crc)
      return fail(error, "model blob checksum mismatch");
    out.blobs.push_back(std::move(b));
  }
  if (!r.u64(out.expectedWeightsSize))
    return fail(error, "short engine file");
  if (!r.str(out.input.name, kMaxString) || !r.str(out.input.modelInput, kMaxString) ||
      !read_dims(r, out.input.dims) || !r.u32(out.input.dataType))
    return fail(error, "bad input binding");
  uint32_t nout;
  if (!r.u32(nout) || nout == 0 || nout > kMaxOutputs)
    return fail(error, "bad number of output bindings");
  for (uint32_t i = 0; i < nout; ++i) {
    OutputBinding o;
    uint32_t source;
    if (!r.str(o.name, kMaxString) || !r.u32(source) || !read_dims(r, o.dims) ||
        !r.u32(o.dataType))
      return fail(error, "bad output binding");
    o.source = static_cast<OutputSource>(source);
    if (o.source == OutputSource::Layer) {
      if (!r.str(o.layer, kMaxString))
        return fail(error, "bad output binding layer");
    } else if (o.source == OutputSource::Plugin) {
      uint32_t nin;
      if (!r.str(o.pluginName, kMaxString) || !r.str(o.pluginSerial, kMaxPluginSerial) ||
          !r.u32(nin) || nin == 0 || nin > kMaxPluginInputs)
        return fail(error, "bad plug-in output binding");
      o.pluginInputs.resize(nin);
      for (auto &t : o.pluginInputs)
        if (!r.str(t.name, kMaxString) || !read_dims(r, t.dims))
          return fail(error, "bad plug-in input");
    } else {
      return fail(error, "unknown output source");
    }
    out.outputs.push_back(std::move(o));
  }
  if (r.left() != 0)
    return fail(error, "trailing bytes in engine file");
  return validate(out, error);
}

}  // namespace ovengine
