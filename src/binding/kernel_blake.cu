// The CUDA build of the search kernel: one nonce per thread, reading the
// extended block from constant memory. What a thread does is ns_cuda_thread
// (nonce_search.h), which the CPU tests and the emulated runtime also run.
//
// Two kernels: the default one, and a balanced one that is handed a 1 the
// compiler cannot see, so that the hash's adds become IMADs on the FMA pipe
// and leave the ALU pipe (which bounds this hash on sm_80 and later) to the
// xors and rotations.
#include "kernel_blake.h"

#include <string.h>

#include <atomic>

#include "nonce_search.h"
#include "search_block.h"

__constant__ uint32_t d_data[NS_BLOCK_WORDS];

__global__ void blake2s_hash(unsigned long startNonce, unsigned long* resNonce) {
  ns_cuda_thread<false>(blockIdx, blockDim, threadIdx, startNonce, d_data, resNonce);
}

// `one` is always 1.
__global__ void blake2s_hash_balanced(unsigned long startNonce, unsigned long* resNonce,
                                      unsigned int one) {
  ns_cuda_thread<true>(blockIdx, blockDim, threadIdx, startNonce, d_data, resNonce, one);
}

namespace {
std::atomic<int> g_kernel(CUDA_KERNEL_DEFAULT);
}

const char* cuda_choose_kernel(const char* name) {
  if (name == nullptr || name[0] == '\0' || strcmp(name, "default") == 0) {
    g_kernel = CUDA_KERNEL_DEFAULT;
  } else if (strcmp(name, "balanced") == 0) {
    g_kernel = CUDA_KERNEL_BALANCED;
  } else {
    return "NVSIEVE_KERNEL must be default or balanced";
  }
  return nullptr;
}

cudaError_t set_init_data(const unsigned char* header, const unsigned char* target) {
  uint32_t block[NS_BLOCK_WORDS];
  build_search_block(header, target, true, block);
  return cudaMemcpyToSymbol(d_data, block, sizeof(block), 0, cudaMemcpyHostToDevice);
}

cudaError_t launch_blake2s_hash(unsigned int blocks, unsigned int threadsPerBlock,
                                unsigned long startNonce, uint64_t* resultSlot) {
  unsigned long* slot = reinterpret_cast<unsigned long*>(resultSlot);
  if (g_kernel == CUDA_KERNEL_BALANCED) {
    blake2s_hash_balanced<<<blocks, threadsPerBlock>>>(startNonce, slot, 1u);
  } else {
    blake2s_hash<<<blocks, threadsPerBlock>>>(startNonce, slot);
  }
  return cudaGetLastError();
}
