// Per-nonce arithmetic of the search kernel, written once for the host
// reference and the CUDA kernel alike (nvcc compiles it for both sides).
//
// The search data block is 104 little-endian words: header (0-71, of which
// 64-71 are the last block's m0..m7), target (72-79), chaining value before
// the last block (80-87) and the last block's partly mixed working vector
// (88-103). The host has done every nonce-independent step; what is left is
// round 1's fourth column G onwards, and only hash words 6 and 7 are needed.
//
// The header is built three ways:
//   - by nvcc for the GPU (__CUDA_ARCH__): rotations are the device intrinsics;
//   - for the host, as it is: rotations are plain shifts;
//   - for the host with NS_DEVICE_MIRRORS defined (the C++ tests and the
//     emulated CUDA runtime): the GPU's code, with host mirrors of the
//     intrinsics, so that the very selectors and shift counts the GPU uses run
//     on the CPU. That build puts its functions in namespace ns_device_path so
//     that it can share a program with the plain one.
#ifndef NONCESIEVE_NONCE_SEARCH_H
#define NONCESIEVE_NONCE_SEARCH_H

#include <stdint.h>

#if defined(__CUDACC__)
#define NS_FN __host__ __device__ __forceinline__
#else
#define NS_FN inline
#endif

#if defined(__CUDA_ARCH__) || defined(NS_DEVICE_MIRRORS)
#define NS_GPU_OPS 1
#else
#define NS_GPU_OPS 0
#endif

enum {
  NS_BLOCK_WORDS = 104,
  NS_BLOCK_BYTES = 416,
  NS_HEADER_BYTES = 286,
  NS_TARGET_BYTES = 32,
  NS_WORD_M0 = 64,
  NS_WORD_TARGET = 72,
  NS_WORD_SS = 80,
  NS_WORD_VS = 88
};

#if defined(NS_DEVICE_MIRRORS) && !defined(__CUDA_ARCH__)
namespace ns_device_path {

// Host mirrors of the two intrinsics, from their documented semantics.
// __byte_perm(x, y, s): byte n of the result is byte ((s >> 4n) & 7) of the
// eight bytes y:x, x holding bytes 0-3 (PTX prmt.b32 with no mode bits set).
inline uint32_t ns_byte_perm(uint32_t x, uint32_t y, uint32_t s) {
  const uint64_t bytes = ((uint64_t)y << 32) | x;
  uint32_t r = 0;
  for (int n = 0; n < 4; ++n) {
    const uint32_t pick = (s >> (4 * n)) & 7;
    r |= (uint32_t)((bytes >> (8 * pick)) & 0xFF) << (8 * n);
  }
  return r;
}

// __funnelshift_r(lo, hi, shift): hi:lo shifted right by shift & 31, low 32
// bits (PTX shf.r.wrap.b32).
inline uint32_t ns_funnelshift_r(uint32_t lo, uint32_t hi, uint32_t shift) {
  return (uint32_t)((((uint64_t)hi << 32) | lo) >> (shift & 31));
}
#elif defined(__CUDA_ARCH__)
__device__ __forceinline__ uint32_t ns_byte_perm(uint32_t x, uint32_t y, uint32_t s) {
  return __byte_perm(x, y, s);
}
__device__ __forceinline__ uint32_t ns_funnelshift_r(uint32_t lo, uint32_t hi, uint32_t shift) {
  return __funnelshift_r(lo, hi, shift);
}
#endif

// The __byte_perm selector that rotates a word right by `bytes` bytes: byte n
// of the result is byte (n + bytes) mod 4 of the word.
NS_FN constexpr uint32_t ns_rotr_selector(unsigned bytes) {
  return ((bytes + 0) & 3) | ((bytes + 1) & 3) << 4 | ((bytes + 2) & 3) << 8 |
         ((bytes + 3) & 3) << 12;
}

// Right rotation by N. On the GPU whole-byte rotations are byte permutes and
// the others funnel shifts.
template <unsigned N>
NS_FN uint32_t ns_rotr(uint32_t x) {
#if NS_GPU_OPS
  if (N % 8 == 0) return ns_byte_perm(x, 0, ns_rotr_selector(N / 8));
  return ns_funnelshift_r(x, x, N);
#else
  return (x >> N) | (x << (32 - N));
#endif
}

// a + b. With kOnFma it is b * one + a, `one` being a 1 the compiler cannot
// see (a kernel parameter): the GPU then does the add as IMAD on the FMA pipe
// instead of IADD3 on the ALU pipe, which the rest of the hash (xors,
// rotations) keeps busy. On the GPU it is PTX mad.lo.u32, so that no compiler
// pass can factor two such adds into one multiply.
template <bool kOnFma>
NS_FN uint32_t ns_add(uint32_t a, uint32_t b, uint32_t one) {
#if defined(__CUDA_ARCH__)
  if (kOnFma) {
    uint32_t r;
    asm("mad.lo.u32 %0, %1, %2, %3;" : "=r"(r) : "r"(b), "r"(one), "r"(a));
    return r;
  }
#endif
  return kOnFma ? b * one + a : a + b;
}

// Right rotation by N, on the FMA pipe with kOnFma: the two halves of the
// 64-bit product x * 2^(32 - N) (the factor formed from `one`, so that the
// compiler cannot see it) share no bits, so their sum is the rotation, and
// both the product (IMAD.WIDE) and the sum (IMAD) run on the FMA pipe.
template <unsigned N, bool kOnFma>
NS_FN uint32_t ns_rotr_on(uint32_t x, uint32_t one) {
  const uint32_t factor = one << (32 - N);
#if defined(__CUDA_ARCH__)
  if (kOnFma) {
    uint64_t wide;
    asm("mul.wide.u32 %0, %1, %2;" : "=l"(wide) : "r"(x), "r"(factor));
    return ns_add<true>((uint32_t)wide, (uint32_t)(wide >> 32), one);
  }
#endif
  if (kOnFma) {
    const uint64_t wide = (uint64_t)x * factor;
    return ns_add<true>((uint32_t)wide, (uint32_t)(wide >> 32), one);
  }
  return ns_rotr<N>(x);
}

#define NS_WORD uint32_t
#define NS_ADD(a, b) ns_add<kAddsOnFma>((a), (b), one)
#define NS_ADD3(a, b, x) ns_add<kAddsOnFma>(ns_add<kAddsOnFma>((a), (b), one), (x), one)
#define NS_ROTR16(x) ns_rotr<16>(x)
#define NS_ROTR12(x) ns_rotr<12>(x)
#define NS_ROTR8(x) ns_rotr<8>(x)
#define NS_ROTR7(x) ns_rotr_on<7, kAddsOnFma>((x), one)
#include "blake2s_rounds.h"

// Nonce of thread jobId: the product jobId * gran is formed in 32 bits, the
// sum wraps modulo 2^64.
NS_FN uint64_t ns_thread_nonce(uint64_t start_nonce, uint32_t job_id, uint32_t gran) {
  return start_nonce + (uint64_t)(uint32_t)(job_id * gran);
}

// Target bytes 24-31, the only part that is compared.
NS_FN uint64_t ns_target3(const uint32_t* data) {
  return ((uint64_t)data[NS_WORD_TARGET + 7] << 32) | data[NS_WORD_TARGET + 6];
}

// Hashes the header held in `data` with `nonce` inserted (m6 takes the low
// half, the high half is ORed into m7) and tests hash bytes 24-31 (`h3`, a
// little-endian 64-bit number) against target3: true when target3 > h3.
// Hash word 7 (h3's high half) is finished first; with kRejectEarly, a word 7
// above the target's loses at once and word 6 is never computed, otherwise
// *h3 receives the value tested. `extended` says which precomputation the
// block carries; it must match the block (a compile-time constant wherever
// speed matters). kAddsOnFma and `one` choose the form of the adds (ns_add).
template <bool kRejectEarly, bool kAddsOnFma = false>
NS_FN bool ns_nonce_test(const uint32_t* data, uint64_t nonce, bool extended, uint64_t target3,
                         uint64_t* h3, uint32_t one = 1) {
  const uint32_t m0 = data[NS_WORD_M0 + 0], m1 = data[NS_WORD_M0 + 1];
  const uint32_t m2 = data[NS_WORD_M0 + 2], m3 = data[NS_WORD_M0 + 3];
  const uint32_t m4 = data[NS_WORD_M0 + 4], m5 = data[NS_WORD_M0 + 5];
  const uint32_t m6 = (uint32_t)nonce;
  const uint32_t m7 = data[NS_WORD_M0 + 7] | (uint32_t)(nonce >> 32);
  const uint32_t m8 = 0, m9 = 0, m10 = 0, m11 = 0, m12 = 0, m13 = 0, m14 = 0, m15 = 0;

  const uint32_t* vs = data + NS_WORD_VS;
  uint32_t v0 = vs[0], v1 = vs[1], v2 = vs[2], v3 = vs[3];
  uint32_t v4 = vs[4], v5 = vs[5], v6 = vs[6], v7 = vs[7];
  uint32_t v8 = vs[8], v9 = vs[9], v10 = vs[10], v11 = vs[11];
  uint32_t v12 = vs[12], v13 = vs[13], v14 = vs[14], v15 = vs[15];

  if (extended) {
    NS_ROUND1_EXTENDED;
  } else {
    NS_ROUND1_BASIC;
  }
  NS_ROUNDS_2_TO_9;
  NS_LAST_ROUND_TO_H7;
  const uint32_t h7 = v7 ^ v15 ^ data[NS_WORD_SS + 7];
  if (kRejectEarly && h7 > (uint32_t)(target3 >> 32)) return false;
  NS_LAST_ROUND_TO_H6;
  const uint32_t h6 = v6 ^ v14 ^ data[NS_WORD_SS + 6];
  const uint64_t tested = ((uint64_t)h7 << 32) | h6;
  if (!kRejectEarly) *h3 = tested;
  return target3 > tested;
}

// h3 of `nonce` (see ns_nonce_test).
NS_FN uint64_t ns_nonce_h3(const uint32_t* data, uint64_t nonce, bool extended) {
  uint64_t h3 = 0;
  ns_nonce_test<false>(data, nonce, extended, 0, &h3);
  return h3;
}

// True when `nonce` wins against the block's own target (strictly below it).
template <bool kAddsOnFma = false>
NS_FN bool ns_nonce_wins(const uint32_t* data, uint64_t nonce, bool extended, uint32_t one = 1) {
  return ns_nonce_test<true, kAddsOnFma>(data, nonce, extended, ns_target3(data), nullptr, one);
}

// Everything one thread of the CUDA kernel does, given its block and thread
// coordinates (launches are one-dimensional: only x counts), the launch's
// start nonce, the extended block and the result slot: it tests nonce
// startNonce + blockIdx.x * blockDim.x + threadIdx.x and, when that wins,
// stores it with one plain store. `Slot` is the slot's type (the GPU's
// unsigned long, or whatever records stores on the host). Both kernels run
// it: the default one with plain adds, the balanced one (kBalanced) with
// adds on the FMA pipe through `one`, a 1 the compiler cannot see (ns_add).
template <bool kBalanced, class Index, class Size, class Slot>
NS_FN void ns_cuda_thread(Index block_idx, Size block_dim, Index thread_idx, uint64_t start_nonce,
                          const uint32_t* data, Slot* result, uint32_t one = 1) {
  const uint32_t job_id = block_idx.x * block_dim.x + thread_idx.x;
  const uint64_t nonce = ns_thread_nonce(start_nonce, job_id, 1);
  if (ns_nonce_wins<kBalanced>(data, nonce, true, one)) *result = nonce;
}

#if defined(NS_DEVICE_MIRRORS) && !defined(__CUDA_ARCH__)
}  // namespace ns_device_path
#endif

#endif
