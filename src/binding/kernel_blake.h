// Host side of the CUDA kernel module.
#ifndef NONCESIEVE_CUDA_KERNEL_BLAKE_H
#define NONCESIEVE_CUDA_KERNEL_BLAKE_H

#include <cuda_runtime.h>

#include <cstdint>

#include "kernel_choice.h"

// The search kernels the module carries; NVSIEVE_KERNEL names one.
enum CudaKernel { CUDA_KERNEL_DEFAULT, CUDA_KERNEL_BALANCED };

// Builds the search block (extended precomputation) and copies it to the
// current device's d_data.
cudaError_t set_init_data(const unsigned char* header, const unsigned char* target);

// Launches the chosen kernel on the calling thread's default stream; returns
// the launch's own status.
cudaError_t launch_blake2s_hash(unsigned int blocks, unsigned int threadsPerBlock,
                                unsigned long startNonce, uint64_t* resultSlot);

#endif
