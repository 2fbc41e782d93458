// What nvcc builds in and clang's CUDA mode lacks without the toolkit's
// headers (-nocudainc): the attributes, the thread coordinates and the two
// intrinsics the kernels use, the latter as the PTX instructions nvcc emits
// for them. Included ahead of kernel_blake.cu for the portable PTX.
#ifndef NONCESIEVE_CLANG_CUDA_H
#define NONCESIEVE_CLANG_CUDA_H

// nonce_search.h marks its functions for both sides when it sees __CUDACC__.
#define __CUDACC__ 1
#define __global__ __attribute__((global))
#define __device__ __attribute__((device))
#define __host__ __attribute__((host))
#define __constant__ __attribute__((constant))
#define __forceinline__ __inline__ __attribute__((always_inline))

struct ns_coords {
  unsigned x, y, z;
};
// Launches are one-dimensional: only x is read.
#define blockIdx (ns_coords{unsigned(__nvvm_read_ptx_sreg_ctaid_x()), 0, 0})
#define blockDim (ns_coords{unsigned(__nvvm_read_ptx_sreg_ntid_x()), 1, 1})
#define threadIdx (ns_coords{unsigned(__nvvm_read_ptx_sreg_tid_x()), 0, 0})

static __device__ __forceinline__ unsigned __byte_perm(unsigned x, unsigned y, unsigned s) {
  unsigned r;
  asm("prmt.b32 %0, %1, %2, %3;" : "=r"(r) : "r"(x), "r"(y), "r"(s));
  return r;
}

static __device__ __forceinline__ unsigned __funnelshift_r(unsigned lo, unsigned hi, unsigned s) {
  unsigned r;
  asm("shf.r.wrap.b32 %0, %1, %2, %3;" : "=r"(r) : "r"(lo), "r"(hi), "r"(s));
  return r;
}

#endif
