// Host side of the CUDA kernel module: the two images nvsieve carries, one
// GPU's loaded copy of them, the block upload and the launch.
#ifndef NONCESIEVE_CUDA_KERNEL_BLAKE_H
#define NONCESIEVE_CUDA_KERNEL_BLAKE_H

#include <cstdint>
#include <string>

#include "cuda_driver.h"
#include "kernel_choice.h"

// The search kernels the module carries; NVSIEVE_KERNEL names one.
enum CudaKernel { CUDA_KERNEL_DEFAULT, CUDA_KERNEL_BALANCED, CUDA_KERNEL_COUNT };

// One GPU's copy of the kernel module, loaded into its primary context.
struct CudaModule {
  CUmodule module = nullptr;
  CUfunction kernels[CUDA_KERNEL_COUNT] = {};
  CUdeviceptr d_data = 0;
  // What runs: "SASS sm_86" or "PTX, compiled by the driver".
  std::string image;
};

// Loads the module into the current context (that of a device of compute
// capability `arch`, 86 for 8.6): the fatbin, and when the driver refuses it
// the portable PTX. On failure returns the last status and sets *why to what
// each image got.
CUresult cuda_load_kernels(const CudaDriverApi& cu, int arch, CudaModule* out, std::string* why);

// Whether the module carries the portable PTX (a build without clang has none).
bool cuda_has_portable_ptx();

// Builds the search block (extended precomputation) and queues its copy to
// the module's d_data on the calling thread's default stream.
CUresult set_init_data(const CudaDriverApi& cu, const CudaModule& m, const unsigned char* header,
                       const unsigned char* target);

// Launches the chosen kernel on the calling thread's default stream; returns
// the launch's own status.
CUresult launch_blake2s_hash(const CudaDriverApi& cu, const CudaModule& m, unsigned int blocks,
                             unsigned int threadsPerBlock, unsigned long startNonce,
                             CUdeviceptr resultSlot);

#endif
