/* Launchers of the custom layers' device kernels, on the stream given; each
 * returns the launch's error (cudaSuccess when it was queued).  Built from CUDA sources
 * (TrtNet/src/LayerKernels.cu) with a real CUDA, and by the CPU engine layer
 * (src/layer_kernels_cpu.cpp) otherwise, with the same results. */
#ifndef OV_LAYER_KERNELS_H
#define OV_LAYER_KERNELS_H

#include <cuda_runtime_api.h>

namespace ovkernels {

/* Nearest-neighbour upsampling of `n` output elements of `elementSize`
 * bytes (4 float, 2 half, 1 unsigned 8-bit): output (c, y, x) takes input
 * (c, y / scale, x / scale) of the inHeight × inWidth input planes, batches
 * one after the other.  The scale need not be a whole number. */
cudaError_t upscale(const void *input, void *output, int n, float scale, int channels,
                    int inHeight, int inWidth, int outHeight, int outWidth, int elementSize,
                    int threads, cudaStream_t stream);

/* Decodes one YOLO head over `cells` = width × height × batch grid cells:
 * appends a (box[4], class, probability) record to image b's block at
 * output + b × outputElem (count first) for every anchor whose objectness and
 * best class probability exceed 0.5. */
cudaError_t calDetection(const float *input, float *output, int cells, int width, int height,
                         const float *anchors, int classes, int outputElem, int threads,
                         cudaStream_t stream);

}  // namespace ovkernels

#endif /* OV_LAYER_KERNELS_H */
