// The device code of nvsieve: the search kernels and the constant block they
// read. Compiled twice: by nvcc to a fatbin (SASS for every architecture it
// builds and PTX of the newest), and by clang's NVPTX backend to a portable
// PTX (ISA 4.3, sm_35) that every driver since CUDA 8 compiles for any GPU
// from Kepler on (clang_cuda.h gives clang what nvcc has built in). What a
// thread does is ns_cuda_thread (nonce_search.h), which the CPU tests and the
// emulated driver also run.
//
// Two kernels: the default one, and a balanced one that is handed a 1 the
// compiler cannot see, so that the hash's adds become IMADs on the FMA pipe
// and leave the ALU pipe (which bounds this hash on sm_80 and later) to the
// xors and rotations.
#include "nonce_search.h"

__constant__ uint32_t d_data[NS_BLOCK_WORDS];

__global__ void blake2s_hash(unsigned long startNonce, unsigned long* resNonce) {
  ns_cuda_thread<false>(blockIdx, blockDim, threadIdx, startNonce, d_data, resNonce);
}

// `one` is always 1.
__global__ void blake2s_hash_balanced(unsigned long startNonce, unsigned long* resNonce,
                                      unsigned int one) {
  ns_cuda_thread<true>(blockIdx, blockDim, threadIdx, startNonce, d_data, resNonce, one);
}
