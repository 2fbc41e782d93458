// The CUDA build of the search kernel: one nonce per thread, reading the
// extended block from constant memory. What a thread does is ns_cuda_thread
// (nonce_search.h), which the CPU tests and the emulated runtime also run.
#include "kernel_blake.h"

#include "nonce_search.h"
#include "search_block.h"

__constant__ uint32_t d_data[NS_BLOCK_WORDS];

__global__ void blake2s_hash(unsigned long startNonce, unsigned long* resNonce) {
  ns_cuda_thread(blockIdx, blockDim, threadIdx, startNonce, d_data, resNonce);
}

cudaError_t set_init_data(const unsigned char* header, const unsigned char* target) {
  uint32_t block[NS_BLOCK_WORDS];
  build_search_block(header, target, true, block);
  return cudaMemcpyToSymbol(d_data, block, sizeof(block), 0, cudaMemcpyHostToDevice);
}

cudaError_t launch_blake2s_hash(unsigned int blocks, unsigned int threadsPerBlock,
                                unsigned long startNonce, uint64_t* resultSlot) {
  blake2s_hash<<<blocks, threadsPerBlock>>>(startNonce,
                                            reinterpret_cast<unsigned long*>(resultSlot));
  return cudaGetLastError();
}
