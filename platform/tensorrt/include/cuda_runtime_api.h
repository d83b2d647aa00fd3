/* CPU stand-in for the subset of the CUDA runtime API the engine layer and
 * the custom layers call.  "Device" memory is host memory; there is exactly
 * one device, index 0. */
#ifndef OV_CPU_CUDA_RUNTIME_API_H
#define OV_CPU_CUDA_RUNTIME_API_H

#include <cstddef>

#define OV_CPU_CUDA 1

enum cudaError {
  cudaSuccess = 0,
  cudaErrorInvalidValue = 1,
  cudaErrorMemoryAllocation = 2,
  cudaErrorInvalidDevice = 101,
  cudaErrorInvalidResourceHandle = 400,
};
typedef enum cudaError cudaError_t;

enum cudaMemcpyKind {
  cudaMemcpyHostToHost = 0,
  cudaMemcpyHostToDevice = 1,
  cudaMemcpyDeviceToHost = 2,
  cudaMemcpyDeviceToDevice = 3,
  cudaMemcpyDefault = 4,
};

typedef struct CUstream_st *cudaStream_t;

#define cudaHostAllocDefault 0x00
#define cudaHostAllocPortable 0x01
#define cudaHostAllocMapped 0x02

/* Linked statically into each user; keeps the symbols private to it. */
#define OV_CUDA_API

extern "C" {
OV_CUDA_API cudaError_t cudaMalloc(void **devPtr, size_t size);
OV_CUDA_API cudaError_t cudaFree(void *devPtr);
OV_CUDA_API cudaError_t cudaHostAlloc(void **pHost, size_t size, unsigned int flags);
OV_CUDA_API cudaError_t cudaMallocHost(void **ptr, size_t size);
OV_CUDA_API cudaError_t cudaFreeHost(void *ptr);
OV_CUDA_API cudaError_t cudaMemcpy(void *dst, const void *src, size_t count, cudaMemcpyKind kind);
OV_CUDA_API cudaError_t cudaMemcpyAsync(void *dst, const void *src, size_t count,
                                        cudaMemcpyKind kind, cudaStream_t stream = nullptr);
OV_CUDA_API cudaError_t cudaMemset(void *devPtr, int value, size_t count);
OV_CUDA_API cudaError_t cudaMemsetAsync(void *devPtr, int value, size_t count,
                                        cudaStream_t stream = nullptr);
OV_CUDA_API cudaError_t cudaStreamCreate(cudaStream_t *stream);
OV_CUDA_API cudaError_t cudaStreamDestroy(cudaStream_t stream);
OV_CUDA_API cudaError_t cudaStreamSynchronize(cudaStream_t stream);
OV_CUDA_API cudaError_t cudaDeviceSynchronize(void);
OV_CUDA_API cudaError_t cudaSetDevice(int device);
OV_CUDA_API cudaError_t cudaGetDevice(int *device);
OV_CUDA_API cudaError_t cudaGetDeviceCount(int *count);
OV_CUDA_API cudaError_t cudaGetLastError(void);
OV_CUDA_API const char *cudaGetErrorString(cudaError_t error);
OV_CUDA_API const char *cudaGetErrorName(cudaError_t error);
}

#endif /* OV_CPU_CUDA_RUNTIME_API_H */
