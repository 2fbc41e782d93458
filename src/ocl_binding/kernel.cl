// BLAKE2s-256 nonce search, one nonce per work item, basic continuation.
//
// DATA is the 104-word search block: words 64-71 are m0..m7 of the header's
// last block, 72-79 the target, 80-87 the chaining value before that block and
// 88-103 its working vector after every step the nonce does not touch. What is
// left here is round 1's fourth column G onwards, and only hash words 6 and 7.
//
// Straight-line on purpose: every word in a register, no loops, no calls and
// one conditional plain store, so that CPU runtimes vectorise across work items.

#define GRAN 1

#define IV0 0x6A09E667U
#define IV1 0xBB67AE85U
#define IV2 0x3C6EF372U
#define IV3 0xA54FF53AU
#define IV4 0x510E527FU
#define IV5 0x9B05688CU
#define IV6 0x1F83D9ABU
#define IV7 0x5BE0CD19U

// v12 = IV4 ^ byte counter for blocks ending at 64, 128, 192, 256 and 286
// bytes, and v14 = ~IV6 for the last block. The host has folded them into VS.
#define V12_1 0x510e523fU
#define V12_2 0x510e52ffU
#define V12_3 0x510e52bfU
#define V12_4 0x510e537fU
#define V12_5 0x510e5361U
#define V14_L 0xe07c2654U

// rotate() turns left: by 16, 20, 24 and 25 is right by 16, 12, 8 and 7.
#define G(a, b, c, d, x, y)   \
  do {                        \
    a = a + b + (x);          \
    d = rotate(d ^ a, 16U);   \
    c = c + d;                \
    b = rotate(b ^ c, 20U);   \
    a = a + b + (y);          \
    d = rotate(d ^ a, 24U);   \
    c = c + d;                \
    b = rotate(b ^ c, 25U);   \
  } while (0)

// One round; the arguments are the round's SIGMA row.
#define ROUND(s0, s1, s2, s3, s4, s5, s6, s7, s8, s9, s10, s11, s12, s13, s14, s15) \
  do {                                                                            \
    G(v0, v4, v8, v12, m##s0, m##s1);                                             \
    G(v1, v5, v9, v13, m##s2, m##s3);                                             \
    G(v2, v6, v10, v14, m##s4, m##s5);                                            \
    G(v3, v7, v11, v15, m##s6, m##s7);                                            \
    G(v0, v5, v10, v15, m##s8, m##s9);                                            \
    G(v1, v6, v11, v12, m##s10, m##s11);                                          \
    G(v2, v7, v8, v13, m##s12, m##s13);                                           \
    G(v3, v4, v9, v14, m##s14, m##s15);                                           \
  } while (0)

__kernel void blake2s_hash(ulong startNonce, __constant uint* DATA, __global ulong* resNonce) {
  // jobId * GRAN wraps in 32 bits, as on the host.
  const uint jobId = (uint)(get_group_id(0) * get_local_size(0) + get_local_id(0));
  const ulong nonce = startNonce + (ulong)(jobId * GRAN);

  // The last block holds 30 header bytes: m8..m15 are zero.
  const uint m0 = DATA[64], m1 = DATA[65], m2 = DATA[66], m3 = DATA[67];
  const uint m4 = DATA[68], m5 = DATA[69];
  const uint m6 = (uint)nonce;
  const uint m7 = DATA[71] | (uint)(nonce >> 32);
  const uint m8 = 0, m9 = 0, m10 = 0, m11 = 0, m12 = 0, m13 = 0, m14 = 0, m15 = 0;

  uint v0 = DATA[88], v1 = DATA[89], v2 = DATA[90], v3 = DATA[91];
  uint v4 = DATA[92], v5 = DATA[93], v6 = DATA[94], v7 = DATA[95];
  uint v8 = DATA[96], v9 = DATA[97], v10 = DATA[98], v11 = DATA[99];
  uint v12 = DATA[100], v13 = DATA[101], v14 = DATA[102], v15 = DATA[103];

  // Round 1 from the column G that takes the nonce words.
  G(v3, v7, v11, v15, m6, m7);
  G(v0, v5, v10, v15, m8, m9);
  G(v1, v6, v11, v12, m10, m11);
  G(v2, v7, v8, v13, m12, m13);
  G(v3, v4, v9, v14, m14, m15);

  ROUND(14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3);
  ROUND(11, 8, 12, 0, 5, 2, 15, 13, 10, 14, 3, 6, 7, 1, 9, 4);
  ROUND(7, 9, 3, 1, 13, 12, 11, 14, 2, 6, 5, 10, 4, 0, 15, 8);
  ROUND(9, 0, 5, 7, 2, 4, 10, 15, 14, 1, 11, 12, 6, 8, 3, 13);
  ROUND(2, 12, 6, 10, 0, 11, 8, 3, 4, 13, 7, 5, 15, 14, 1, 9);
  ROUND(12, 5, 1, 15, 14, 13, 4, 10, 0, 7, 6, 3, 9, 2, 8, 11);
  ROUND(13, 11, 7, 14, 12, 1, 3, 9, 5, 0, 15, 4, 8, 6, 2, 10);
  ROUND(6, 15, 14, 9, 11, 3, 0, 8, 12, 2, 13, 7, 1, 4, 10, 5);
  ROUND(10, 2, 8, 4, 7, 6, 1, 5, 15, 11, 9, 14, 3, 12, 13, 0);

  // Hash bytes 24-31 against target bytes 24-31, both little-endian.
  v6 ^= v14 ^ DATA[86];
  v7 ^= v15 ^ DATA[87];
  const ulong H3 = upsample(v7, v6);
  const ulong target3 = upsample(DATA[79], DATA[78]);
  if (target3 > H3) resNonce[0] = nonce;
}
