/* Introspection of the CPU engine layer for tests and leak checks; absent on
 * a real TensorRT + CUDA build. */
#ifndef OV_CPU_PLATFORM_H
#define OV_CPU_PLATFORM_H

#include <cstddef>

#define OV_CPU_PLATFORM_API

namespace ovcpu {
/* Blocks from cudaMalloc/cudaHostAlloc not yet freed. */
OV_CPU_PLATFORM_API size_t liveDeviceAllocations();
OV_CPU_PLATFORM_API size_t liveHostAllocations();
/* Streams created and not yet destroyed. */
OV_CPU_PLATFORM_API size_t liveStreams();
/* Number of successful cudaSetDevice calls so far. */
OV_CPU_PLATFORM_API size_t setDeviceCalls();
/* Engines and execution contexts alive. */
OV_CPU_PLATFORM_API size_t liveEngines();
OV_CPU_PLATFORM_API size_t liveContexts();
}  // namespace ovcpu

#endif /* OV_CPU_PLATFORM_H */
