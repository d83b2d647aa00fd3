/* The CUDA runtime calls on the CPU: one device, host memory, streams that
 * are already synchronous.  Counters back the leak checks of the tests. */
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_set>

#include "cuda_runtime_api.h"
#include "ov_cpu_platform.h"

struct CUstream_st {
  int id;
};

namespace {

struct Registry {
  std::mutex lock; /* guards every set below */
  std::unordered_set<void *> device;
  std::unordered_set<void *> host;
  std::unordered_set<cudaStream_t> streams;
};

Registry &registry() {
  static Registry *r = new Registry; /* outlives static destructors */
  return *r;
}

std::atomic<size_t> g_set_device_calls{0};
thread_local int t_device = 0;
thread_local cudaError_t t_last_error = cudaSuccess;

cudaError_t record(cudaError_t e) {
  if (e != cudaSuccess)
    t_last_error = e;
  return e;
}

bool known_stream(cudaStream_t s) {
  if (s == nullptr)
    return true;
  Registry &r = registry();
  std::lock_guard<std::mutex> g(r.lock);
  return r.streams.count(s) != 0;
}

}  // namespace

extern "C" {

cudaError_t cudaMalloc(void **devPtr, size_t size) {
  if (devPtr == nullptr)
    return record(cudaErrorInvalidValue);
  /* As the real runtime: zero bytes succeed and give null. */
  if (size == 0) {
    *devPtr = nullptr;
    return cudaSuccess;
  }
  void *p = std::malloc(size);
  if (p == nullptr) {
    *devPtr = nullptr;
    return record(cudaErrorMemoryAllocation);
  }
  Registry &r = registry();
  std::lock_guard<std::mutex> g(r.lock);
  r.device.insert(p);
  *devPtr = p;
  return cudaSuccess;
}

cudaError_t cudaFree(void *devPtr) {
  if (devPtr == nullptr)
    return cudaSuccess;
  Registry &r = registry();
  {
    std::lock_guard<std::mutex> g(r.lock);
    if (r.device.erase(devPtr) == 0)
      return record(cudaErrorInvalidValue);
  }
  std::free(devPtr);
  return cudaSuccess;
}

cudaError_t cudaHostAlloc(void **pHost, size_t size, unsigned int) {
  if (pHost == nullptr)
    return record(cudaErrorInvalidValue);
  void *p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) {
    *pHost = nullptr;
    return record(cudaErrorMemoryAllocation);
  }
  Registry &r = registry();
  std::lock_guard<std::mutex> g(r.lock);
  r.host.insert(p);
  *pHost = p;
  return cudaSuccess;
}

cudaError_t cudaMallocHost(void **ptr, size_t size) {
  return cudaHostAlloc(ptr, size, cudaHostAllocDefault);
}

cudaError_t cudaFreeHost(void *ptr) {
  if (ptr == nullptr)
    return cudaSuccess;
  Registry &r = registry();
  {
    std::lock_guard<std::mutex> g(r.lock);
    if (r.host.erase(ptr) == 0)
      return record(cudaErrorInvalidValue);
  }
  std::free(ptr);
  return cudaSuccess;
}

cudaError_t cudaMemcpy(void *dst, const void *src, size_t count, cudaMemcpyKind kind) {
  if (count == 0)
    return cudaSuccess;
  if (dst == nullptr || src == nullptr || kind < cudaMemcpyHostToHost || kind > cudaMemcpyDefault)
    return record(cudaErrorInvalidValue);
  std::memmove(dst, src, count);
  return cudaSuccess;
}

cudaError_t cudaMemcpyAsync(void *dst, const void *src, size_t count, cudaMemcpyKind kind,
                            cudaStream_t stream) {
  if (!known_stream(stream))
    return record(cudaErrorInvalidResourceHandle);
  return cudaMemcpy(dst, src, count, kind);
}

cudaError_t cudaMemset(void *devPtr, int value, size_t count) {
  if (count == 0)
    return cudaSuccess;
  if (devPtr == nullptr)
    return record(cudaErrorInvalidValue);
  std::memset(devPtr, value, count);
  return cudaSuccess;
}

/* Streams are synchronous here: the same as cudaMemset. */
cudaError_t cudaMemsetAsync(void *devPtr, int value, size_t count, cudaStream_t) {
  return cudaMemset(devPtr, value, count);
}

cudaError_t cudaStreamCreate(cudaStream_t *stream) {
  if (stream == nullptr)
    return record(cudaErrorInvalidValue);
  auto *s = new (std::nothrow) CUstream_st{0};
  if (s == nullptr)
    return record(cudaErrorMemoryAllocation);
  Registry &r = registry();
  std::lock_guard<std::mutex> g(r.lock);
  r.streams.insert(s);
  *stream = s;
  return cudaSuccess;
}

cudaError_t cudaStreamDestroy(cudaStream_t stream) {
  Registry &r = registry();
  {
    std::lock_guard<std::mutex> g(r.lock);
    if (stream == nullptr || r.streams.erase(stream) == 0)
      return record(cudaErrorInvalidResourceHandle);
  }
  delete stream;
  return cudaSuccess;
}

cudaError_t cudaStreamSynchronize(cudaStream_t stream) {
  return known_stream(stream) ? cudaSuccess : record(cudaErrorInvalidResourceHandle);
}

cudaError_t cudaDeviceSynchronize(void) { return cudaSuccess; }

cudaError_t cudaSetDevice(int device) {
  if (device != 0)
    return record(cudaErrorInvalidDevice);
  t_device = device;
  ++g_set_device_calls;
  return cudaSuccess;
}

cudaError_t cudaGetDevice(int *device) {
  if (device == nullptr)
    return record(cudaErrorInvalidValue);
  *device = t_device;
  return cudaSuccess;
}

cudaError_t cudaGetDeviceCount(int *count) {
  if (count == nullptr)
    return record(cudaErrorInvalidValue);
  *count = 1;
  return cudaSuccess;
}

cudaError_t cudaGetLastError(void) {
  cudaError_t e = t_last_error;
  t_last_error = cudaSuccess;
  return e;
}

const char *cudaGetErrorName(cudaError_t error) {
  switch (error) {
    case cudaSuccess: return "cudaSuccess";
    case cudaErrorInvalidValue: return "cudaErrorInvalidValue";
    case cudaErrorMemoryAllocation: return "cudaErrorMemoryAllocation";
    case cudaErrorInvalidDevice: return "cudaErrorInvalidDevice";
    case cudaErrorInvalidResourceHandle: return "cudaErrorInvalidResourceHandle";
  }
  return "cudaErrorUnknown";
}

const char *cudaGetErrorString(cudaError_t error) {
  switch (error) {
    case cudaSuccess: return "no error";
    case cudaErrorInvalidValue: return "invalid argument";
    case cudaErrorMemoryAllocation: return "out of memory";
    case cudaErrorInvalidDevice: return "invalid device ordinal";
    case cudaErrorInvalidResourceHandle: return "invalid resource handle";
  }
  return "unknown error";
}

}  // extern "C"

namespace ovcpu {
size_t liveDeviceAllocations() {
  Registry &r = registry();
  std::lock_guard<std::mutex> g(r.lock);
  return r.device.size();
}
size_t liveHostAllocations() {
  Registry &r = registry();
  std::lock_guard<std::mutex> g(r.lock);
  return r.host.size();
}
size_t liveStreams() {
  Registry &r = registry();
  std::lock_guard<std::mutex> g(r.lock);
  return r.streams.size();
}
size_t setDeviceCalls() { return g_set_device_calls.load(); }
}  // namespace ovcpu
