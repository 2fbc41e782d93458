// Per-nonce arithmetic of the search kernel, written once for the host
// reference and the CUDA kernel alike (nvcc compiles it for both sides).
//
// The search data block is 104 little-endian words: header (0-71, of which
// 64-71 are the last block's m0..m7), target (72-79), chaining value before
// the last block (80-87) and the last block's partly mixed working vector
// (88-103). The host has done every nonce-independent step; what is left is
// round 1's fourth column G onwards, and only hash words 6 and 7 are needed.
#ifndef NONCESIEVE_NONCE_SEARCH_H
#define NONCESIEVE_NONCE_SEARCH_H

#include <stdint.h>

#if defined(__CUDACC__)
#define NS_FN __host__ __device__ __forceinline__
#else
#define NS_FN inline
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

// Rotations by 16 and 8 are byte permutes on the GPU, by 12 and 7 funnel shifts.
NS_FN uint32_t ns_rotr16(uint32_t x) {
#if defined(__CUDA_ARCH__)
  return __byte_perm(x, 0, 0x1032);
#else
  return (x >> 16) | (x << 16);
#endif
}
NS_FN uint32_t ns_rotr8(uint32_t x) {
#if defined(__CUDA_ARCH__)
  return __byte_perm(x, 0, 0x0321);
#else
  return (x >> 8) | (x << 24);
#endif
}
NS_FN uint32_t ns_rotr12(uint32_t x) {
#if defined(__CUDA_ARCH__)
  return __funnelshift_r(x, x, 12);
#else
  return (x >> 12) | (x << 20);
#endif
}
NS_FN uint32_t ns_rotr7(uint32_t x) {
#if defined(__CUDA_ARCH__)
  return __funnelshift_r(x, x, 7);
#else
  return (x >> 7) | (x << 25);
#endif
}

// Nonce of thread jobId: the product jobId * gran is formed in 32 bits, the
// sum wraps modulo 2^64.
NS_FN uint64_t ns_thread_nonce(uint64_t start_nonce, uint32_t job_id, uint32_t gran) {
  return start_nonce + (uint64_t)(uint32_t)(job_id * gran);
}

// Target bytes 24-31, the only part that is compared.
NS_FN uint64_t ns_target3(const uint32_t* data) {
  return ((uint64_t)data[NS_WORD_TARGET + 7] << 32) | data[NS_WORD_TARGET + 6];
}

NS_FN bool ns_is_winner(uint64_t h3, uint64_t target3) { return target3 > h3; }

#define NS_G(a, b, c, d, x, y) \
  do {                         \
    a = a + b + (x);           \
    d = ns_rotr16(d ^ a);      \
    c = c + d;                 \
    b = ns_rotr12(b ^ c);      \
    a = a + b + (y);           \
    d = ns_rotr8(d ^ a);       \
    c = c + d;                 \
    b = ns_rotr7(b ^ c);       \
  } while (0)

// One full round with message schedule s0..s15 (the RFC's SIGMA row).
#define NS_ROUND(s0, s1, s2, s3, s4, s5, s6, s7, s8, s9, s10, s11, s12, s13, s14, s15) \
  do {                                                                                \
    NS_G(v0, v4, v8, v12, m[s0], m[s1]);                                              \
    NS_G(v1, v5, v9, v13, m[s2], m[s3]);                                              \
    NS_G(v2, v6, v10, v14, m[s4], m[s5]);                                             \
    NS_G(v3, v7, v11, v15, m[s6], m[s7]);                                             \
    NS_G(v0, v5, v10, v15, m[s8], m[s9]);                                             \
    NS_G(v1, v6, v11, v12, m[s10], m[s11]);                                           \
    NS_G(v2, v7, v8, v13, m[s12], m[s13]);                                            \
    NS_G(v3, v4, v9, v14, m[s14], m[s15]);                                            \
  } while (0)

// Hash bytes 24-31 (as a little-endian 64-bit number) of the header held in
// `data` with `nonce` inserted: m6 takes the low half, the high half is ORed
// into m7. `extended` says which precomputation the block carries; it must
// match the block (a compile-time constant wherever speed matters).
NS_FN uint64_t ns_nonce_h3(const uint32_t* data, uint64_t nonce, bool extended) {
  // Only m0..m7 can be non-zero: the last block holds 30 header bytes.
  uint32_t m[16];
  m[0] = data[NS_WORD_M0 + 0];
  m[1] = data[NS_WORD_M0 + 1];
  m[2] = data[NS_WORD_M0 + 2];
  m[3] = data[NS_WORD_M0 + 3];
  m[4] = data[NS_WORD_M0 + 4];
  m[5] = data[NS_WORD_M0 + 5];
  m[6] = (uint32_t)nonce;
  m[7] = data[NS_WORD_M0 + 7] | (uint32_t)(nonce >> 32);
  m[8] = m[9] = m[10] = m[11] = m[12] = m[13] = m[14] = m[15] = 0;

  const uint32_t* vs = data + NS_WORD_VS;
  uint32_t v0 = vs[0], v1 = vs[1], v2 = vs[2], v3 = vs[3];
  uint32_t v4 = vs[4], v5 = vs[5], v6 = vs[6], v7 = vs[7];
  uint32_t v8 = vs[8], v9 = vs[9], v10 = vs[10], v11 = vs[11];
  uint32_t v12 = vs[12], v13 = vs[13], v14 = vs[14], v15 = vs[15];

  // Round 1: the column G that takes the nonce words.
  NS_G(v3, v7, v11, v15, m[6], m[7]);
  if (!extended) {
    NS_G(v0, v5, v10, v15, m[8], m[9]);
    NS_G(v1, v6, v11, v12, m[10], m[11]);
  } else {
    // The host has already done v0 += v5, v1 += v6 and v12's first rotation.
    v15 = ns_rotr16(v15 ^ v0);
    v10 = v10 + v15;
    v5 = ns_rotr12(v5 ^ v10);
    v0 = v0 + v5 + m[9];
    v15 = ns_rotr8(v15 ^ v0);
    v10 = v10 + v15;
    v5 = ns_rotr7(v5 ^ v10);

    v11 = v11 + v12;
    v6 = ns_rotr12(v6 ^ v11);
    v1 = v1 + v6 + m[11];
    v12 = ns_rotr8(v12 ^ v1);
    v11 = v11 + v12;
    v6 = ns_rotr7(v6 ^ v11);
  }
  NS_G(v2, v7, v8, v13, m[12], m[13]);
  NS_G(v3, v4, v9, v14, m[14], m[15]);

  NS_ROUND(14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3);
  NS_ROUND(11, 8, 12, 0, 5, 2, 15, 13, 10, 14, 3, 6, 7, 1, 9, 4);
  NS_ROUND(7, 9, 3, 1, 13, 12, 11, 14, 2, 6, 5, 10, 4, 0, 15, 8);
  NS_ROUND(9, 0, 5, 7, 2, 4, 10, 15, 14, 1, 11, 12, 6, 8, 3, 13);
  NS_ROUND(2, 12, 6, 10, 0, 11, 8, 3, 4, 13, 7, 5, 15, 14, 1, 9);
  NS_ROUND(12, 5, 1, 15, 14, 13, 4, 10, 0, 7, 6, 3, 9, 2, 8, 11);
  NS_ROUND(13, 11, 7, 14, 12, 1, 3, 9, 5, 0, 15, 4, 8, 6, 2, 10);
  NS_ROUND(6, 15, 14, 9, 11, 3, 0, 8, 12, 2, 13, 7, 1, 4, 10, 5);
  NS_ROUND(10, 2, 8, 4, 7, 6, 1, 5, 15, 11, 9, 14, 3, 12, 13, 0);

  v6 = v6 ^ v14 ^ data[NS_WORD_SS + 6];
  v7 = v7 ^ v15 ^ data[NS_WORD_SS + 7];
  return ((uint64_t)v7 << 32) | v6;
}

#undef NS_G
#undef NS_ROUND

#endif
