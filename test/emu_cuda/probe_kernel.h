// Host entry points of probe_kernel.cu, callable from plain C++ tests.
#ifndef NONCESIEVE_EMU_PROBE_KERNEL_H
#define NONCESIEVE_EMU_PROBE_KERNEL_H

#include <cuda_runtime_api.h>
#include <stdint.h>

cudaError_t probe_set_block(const uint32_t* block);
cudaError_t probe_get_block(uint32_t* block);
// The host shadow of d_data and the search kernel's host stub, as the runtime sees them.
const void* probe_block_symbol();
const void* probe_search_kernel();
// blake2s_hash<<<grid, block>>>(start_nonce, result), on the default or a given stream.
void probe_search(unsigned int grid, unsigned int block, unsigned long start_nonce,
                  unsigned long* result);
void probe_search_on(unsigned int grid, unsigned int block, unsigned long start_nonce,
                     unsigned long* result, cudaStream_t stream);
void probe_fill_launch(uint32_t* out);
cudaError_t probe_sync();

#endif
