// A stand-in for src/binding/kernel_blake.cu for the emulator's own tests: the
// same kernel signature and per-thread code, the same __constant__ block, the
// calls the runner makes. Compiled by scripts/nvcc.sh like the real files.
#include <cuda_runtime.h>
#include <stdint.h>

#include "nonce_search.h"
#include "probe_kernel.h"

__constant__ uint32_t d_data[NS_BLOCK_WORDS];

__global__ void blake2s_hash(unsigned long startNonce, unsigned long* resNonce) {
  ns_cuda_thread<false>(blockIdx, blockDim, threadIdx, startNonce, d_data, resNonce);
}

// A kernel the emulator has no CPU version of.
__global__ void probe_fill(uint32_t* out) { out[threadIdx.x] = threadIdx.x; }

cudaError_t probe_set_block(const uint32_t* block) {
  return cudaMemcpyToSymbol(d_data, block, NS_BLOCK_BYTES, 0, cudaMemcpyHostToDevice);
}

cudaError_t probe_get_block(uint32_t* block) {
  return cudaMemcpyFromSymbol(block, d_data, NS_BLOCK_BYTES, 0, cudaMemcpyDeviceToHost);
}

const void* probe_block_symbol() { return d_data; }
const void* probe_search_kernel() { return reinterpret_cast<const void*>(blake2s_hash); }

void probe_search(unsigned int grid, unsigned int block, unsigned long start_nonce,
                  unsigned long* result) {
  blake2s_hash<<<grid, block>>>(start_nonce, result);
}

void probe_search_on(unsigned int grid, unsigned int block, unsigned long start_nonce,
                     unsigned long* result, cudaStream_t stream) {
  blake2s_hash<<<grid, block, 0, stream>>>(start_nonce, result);
}

void probe_fill_launch(uint32_t* out) { probe_fill<<<1, 4>>>(out); }

cudaError_t probe_sync() { return cudaStreamSynchronize(cudaStreamPerThread); }
