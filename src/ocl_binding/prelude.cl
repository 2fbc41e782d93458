// What the two OpenCL search kernels share. The build puts this text, then
// src/common/blake2s_rounds.h (the rounds, one text with the host), then a
// kernel's body into one standalone OpenCL C 1.2 source (scripts/embed.js).
//
// DATA is the 104-word search block: words 64-71 are m0..m7 of the header's
// last block, 72-79 the target, 80-87 the chaining value before that block and
// 88-103 its working vector after every step the nonce does not touch. What is
// left is round 1's fourth column G onwards, and only hash words 6 and 7.
//
// Straight-line on purpose: every word in a register, no loops and no calls,
// so that CPU runtimes vectorise across work items; the one branch skips hash
// word 6 for a nonce whose word 7 already loses.

// rotate() turns left: by 16, 20, 24 and 25 is right by 16, 12, 8 and 7.
#define NS_WORD uint
#define NS_ROTR16(x) rotate((x), 16U)
#define NS_ROTR12(x) rotate((x), 20U)
#define NS_ROTR8(x) rotate((x), 24U)
#define NS_ROTR7(x) rotate((x), 25U)

// Work item jobId's first nonce; jobId * GRAN wraps in 32 bits, as on the host.
#define FIRST_NONCE(startNonce) \
  ((startNonce) + (ulong)((uint)(get_group_id(0) * get_local_size(0) + get_local_id(0)) * GRAN))

// The words of one nonce's hash: the last block's message (the nonce in m6
// and m7; m8..m15 are zero, the block holds 30 header bytes) and VS.
#define LOAD_WORDS(nonce)                                                          \
  const uint m0 = DATA[64], m1 = DATA[65], m2 = DATA[66], m3 = DATA[67];           \
  const uint m4 = DATA[68], m5 = DATA[69];                                         \
  const uint m6 = (uint)(nonce);                                                   \
  const uint m7 = DATA[71] | (uint)((nonce) >> 32);                                \
  const uint m8 = 0, m9 = 0, m10 = 0, m11 = 0, m12 = 0, m13 = 0, m14 = 0, m15 = 0; \
  uint v0 = DATA[88], v1 = DATA[89], v2 = DATA[90], v3 = DATA[91];                 \
  uint v4 = DATA[92], v5 = DATA[93], v6 = DATA[94], v7 = DATA[95];                 \
  uint v8 = DATA[96], v9 = DATA[97], v10 = DATA[98], v11 = DATA[99];               \
  uint v12 = DATA[100], v13 = DATA[101], v14 = DATA[102], v15 = DATA[103]

// The last round and the target test: hash bytes 24-31 against target bytes
// 24-31, both little-endian 64-bit numbers, strictly below to win. Word 7 is
// finished first; above the target's word 7 the nonce has lost whatever word
// 6 is, so word 6 is finished only otherwise.
#define FINISH_AND_STORE(nonce)                                      \
  NS_LAST_ROUND_TO_H7;                                               \
  const uint h7 = v7 ^ v15 ^ DATA[87];                               \
  if (h7 <= DATA[79]) {                                              \
    NS_LAST_ROUND_TO_H6;                                             \
    const uint h6 = v6 ^ v14 ^ DATA[86];                             \
    if (upsample(DATA[79], DATA[78]) > upsample(h7, h6)) resNonce[0] = (nonce); \
  }
