/* CPU stand-in: the runtime API is all the host code here needs. */
#ifndef OV_CPU_CUDA_RUNTIME_H
#define OV_CPU_CUDA_RUNTIME_H
#include "cuda_runtime_api.h"
#endif
