#include "blake2s.h"

#include <cstring>

namespace {

const uint32_t blake2s_IV[8] = {0x6A09E667UL, 0xBB67AE85UL, 0x3C6EF372UL, 0xA54FF53AUL,
                                0x510E527FUL, 0x9B05688CUL, 0x1F83D9ABUL, 0x5BE0CD19UL};

const uint8_t blake2s_sigma[10][16] = {
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
    {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},
    {11, 8, 12, 0, 5, 2, 15, 13, 10, 14, 3, 6, 7, 1, 9, 4},
    {7, 9, 3, 1, 13, 12, 11, 14, 2, 6, 5, 10, 4, 0, 15, 8},
    {9, 0, 5, 7, 2, 4, 10, 15, 14, 1, 11, 12, 6, 8, 3, 13},
    {2, 12, 6, 10, 0, 11, 8, 3, 4, 13, 7, 5, 15, 14, 1, 9},
    {12, 5, 1, 15, 14, 13, 4, 10, 0, 7, 6, 3, 9, 2, 8, 11},
    {13, 11, 7, 14, 12, 1, 3, 9, 5, 0, 15, 4, 8, 6, 2, 10},
    {6, 15, 14, 9, 11, 3, 0, 8, 12, 2, 13, 7, 1, 4, 10, 5},
    {10, 2, 8, 4, 7, 6, 1, 5, 15, 11, 9, 14, 3, 12, 13, 0},
};

inline uint32_t load32(const void* src) {
  const uint8_t* p = static_cast<const uint8_t*>(src);
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline void store32(void* dst, uint32_t w) {
  uint8_t* p = static_cast<uint8_t*>(dst);
  p[0] = uint8_t(w);
  p[1] = uint8_t(w >> 8);
  p[2] = uint8_t(w >> 16);
  p[3] = uint8_t(w >> 24);
}

inline uint32_t rotr32(uint32_t w, unsigned c) { return (w >> c) | (w << (32 - c)); }

// A plain memset may be removed when the buffer is dead afterwards; a call
// through a volatile pointer may not.
void* (*const volatile memset_v)(void*, int, size_t) = &memset;
inline void secure_zero_memory(void* p, size_t n) { memset_v(p, 0, n); }

inline void increment_counter(blake2s_state* S, uint32_t inc) {
  S->t[0] += inc;
  S->t[1] += (S->t[0] < inc);
}

inline void set_lastblock(blake2s_state* S) {
  if (S->last_node) S->f[1] = 0xFFFFFFFFUL;
  S->f[0] = 0xFFFFFFFFUL;
}

#define G(r, i, a, b, c, d)                       \
  do {                                            \
    a = a + b + m[blake2s_sigma[r][2 * i + 0]];   \
    d = rotr32(d ^ a, 16);                        \
    c = c + d;                                    \
    b = rotr32(b ^ c, 12);                        \
    a = a + b + m[blake2s_sigma[r][2 * i + 1]];   \
    d = rotr32(d ^ a, 8);                         \
    c = c + d;                                    \
    b = rotr32(b ^ c, 7);                         \
  } while (0)

#define ROUND(r)                           \
  do {                                     \
    G(r, 0, v[0], v[4], v[8], v[12]);      \
    G(r, 1, v[1], v[5], v[9], v[13]);      \
    G(r, 2, v[2], v[6], v[10], v[14]);     \
    G(r, 3, v[3], v[7], v[11], v[15]);     \
    G(r, 4, v[0], v[5], v[10], v[15]);     \
    G(r, 5, v[1], v[6], v[11], v[12]);     \
    G(r, 6, v[2], v[7], v[8], v[13]);      \
    G(r, 7, v[3], v[4], v[9], v[14]);      \
  } while (0)

void blake2s_compress(blake2s_state* S, const uint8_t in[BLAKE2S_BLOCKBYTES]) {
  uint32_t m[16];
  uint32_t v[16];
  for (int i = 0; i < 16; ++i) m[i] = load32(in + 4 * i);
  for (int i = 0; i < 8; ++i) v[i] = S->h[i];
  v[8] = blake2s_IV[0];
  v[9] = blake2s_IV[1];
  v[10] = blake2s_IV[2];
  v[11] = blake2s_IV[3];
  v[12] = S->t[0] ^ blake2s_IV[4];
  v[13] = S->t[1] ^ blake2s_IV[5];
  v[14] = S->f[0] ^ blake2s_IV[6];
  v[15] = S->f[1] ^ blake2s_IV[7];
  ROUND(0);
  ROUND(1);
  ROUND(2);
  ROUND(3);
  ROUND(4);
  ROUND(5);
  ROUND(6);
  ROUND(7);
  ROUND(8);
  ROUND(9);
  for (int i = 0; i < 8; ++i) {
    S->h[i] = S->h[i] ^ v[i] ^ v[i + 8];
    S->v[i] = S->h[i];
  }
}

#undef G
#undef ROUND

}  // namespace

int blake2s_init_param(blake2s_state* S, const blake2s_param* P) {
  memset(S, 0, sizeof(*S));
  const uint8_t* p = reinterpret_cast<const uint8_t*>(P);
  for (int i = 0; i < 8; ++i) S->h[i] = blake2s_IV[i] ^ load32(p + 4 * i);
  S->outlen = P->digest_length;
  return 0;
}

int blake2s_init(blake2s_state* S, uint64_t outlen) {
  if (outlen == 0 || outlen > BLAKE2S_OUTBYTES) return -1;
  blake2s_param P;
  memset(&P, 0, sizeof(P));
  P.digest_length = uint8_t(outlen);
  P.key_length = 0;
  P.fanout = 1;
  P.depth = 1;
  return blake2s_init_param(S, &P);
}

int blake2s_init_key(blake2s_state* S, uint64_t outlen, const void* key, uint64_t keylen) {
  if (outlen == 0 || outlen > BLAKE2S_OUTBYTES) return -1;
  if (!key || keylen == 0 || keylen > BLAKE2S_KEYBYTES) return -1;
  blake2s_param P;
  memset(&P, 0, sizeof(P));
  P.digest_length = uint8_t(outlen);
  P.key_length = uint8_t(keylen);
  P.fanout = 1;
  P.depth = 1;
  blake2s_init_param(S, &P);

  uint8_t block[BLAKE2S_BLOCKBYTES];
  memset(block, 0, sizeof(block));
  memcpy(block, key, keylen);
  blake2s_update(S, block, BLAKE2S_BLOCKBYTES);
  secure_zero_memory(block, sizeof(block));
  return 0;
}

// The last block is always held back, so that finalisation can flag it.
int blake2s_update(blake2s_state* S, const void* pin, uint64_t inlen) {
  const uint8_t* in = static_cast<const uint8_t*>(pin);
  if (inlen == 0) return 0;
  const uint64_t fill = BLAKE2S_BLOCKBYTES - S->buflen;
  if (inlen > fill) {
    memcpy(S->buf + S->buflen, in, fill);
    S->buflen = 0;
    increment_counter(S, BLAKE2S_BLOCKBYTES);
    blake2s_compress(S, S->buf);
    in += fill;
    inlen -= fill;
    while (inlen > BLAKE2S_BLOCKBYTES) {
      increment_counter(S, BLAKE2S_BLOCKBYTES);
      blake2s_compress(S, in);
      in += BLAKE2S_BLOCKBYTES;
      inlen -= BLAKE2S_BLOCKBYTES;
    }
  }
  memcpy(S->buf + S->buflen, in, inlen);
  S->buflen += inlen;
  return 0;
}

int blake2s_final(blake2s_state* S, void* out, uint64_t outlen) {
  if (!out || outlen < S->outlen) return -1;
  if (S->f[0] != 0) return -1;

  increment_counter(S, uint32_t(S->buflen));
  set_lastblock(S);
  memset(S->buf + S->buflen, 0, BLAKE2S_BLOCKBYTES - S->buflen);
  blake2s_compress(S, S->buf);

  uint8_t buffer[BLAKE2S_OUTBYTES];
  for (int i = 0; i < 8; ++i) store32(buffer + 4 * i, S->h[i]);
  // Never copy past the 32-byte digest, whatever length the caller claims.
  memcpy(out, buffer, outlen < uint64_t(BLAKE2S_OUTBYTES) ? outlen : uint64_t(BLAKE2S_OUTBYTES));
  secure_zero_memory(buffer, sizeof(buffer));
  return 0;
}

int blake2s(void* out, uint64_t outlen, const void* in, uint64_t inlen, const void* key,
            uint64_t keylen) {
  if (!in && inlen > 0) return -1;
  if (!out) return -1;
  if (!key && keylen > 0) return -1;
  if (outlen == 0 || outlen > BLAKE2S_OUTBYTES) return -1;
  if (keylen > BLAKE2S_KEYBYTES) return -1;

  blake2s_state S;
  if (keylen > 0) {
    if (blake2s_init_key(&S, outlen, key, keylen) < 0) return -1;
  } else {
    if (blake2s_init(&S, outlen) < 0) return -1;
  }
  blake2s_update(&S, in, inlen);
  blake2s_final(&S, out, outlen);
  return 0;
}

int blake2s_final_partial(blake2s_state* S, void* /*out*/, uint64_t /*outlen*/, bool extended) {
  increment_counter(S, uint32_t(S->buflen));
  set_lastblock(S);
  memset(S->buf + S->buflen, 0, BLAKE2S_BLOCKBYTES - S->buflen);

  uint32_t m[16];
  for (int i = 0; i < 16; ++i) m[i] = load32(S->buf + 4 * i);
  uint32_t v0 = S->h[0], v1 = S->h[1], v2 = S->h[2], v3 = S->h[3];
  uint32_t v4 = S->h[4], v5 = S->h[5], v6 = S->h[6], v7 = S->h[7];
  uint32_t v8 = blake2s_IV[0], v9 = blake2s_IV[1], v10 = blake2s_IV[2], v11 = blake2s_IV[3];
  uint32_t v12 = blake2s_IV[4] ^ S->t[0], v13 = blake2s_IV[5] ^ S->t[1];
  uint32_t v14 = blake2s_IV[6] ^ S->f[0], v15 = blake2s_IV[7] ^ S->f[1];

#define G(a, b, c, d, x, y)    \
  do {                         \
    a = a + b + (x);           \
    d = rotr32(d ^ a, 16);     \
    c = c + d;                 \
    b = rotr32(b ^ c, 12);     \
    a = a + b + (y);           \
    d = rotr32(d ^ a, 8);      \
    c = c + d;                 \
    b = rotr32(b ^ c, 7);      \
  } while (0)
  // The first three column G's of round 1; the fourth takes m6 and m7,
  // which hold the nonce.
  G(v0, v4, v8, v12, m[0], m[1]);
  G(v1, v5, v9, v13, m[2], m[3]);
  G(v2, v6, v10, v14, m[4], m[5]);
#undef G

  if (extended) {
    // The parts of the first two diagonal G's that need none of v3, v7, v11,
    // v15; m8 and m10 are zero because the last block holds at most 32 bytes.
    v0 = v0 + v5;
    v1 = v1 + v6;
    v12 = rotr32(v12 ^ v1, 16);
  }

  const uint32_t v[16] = {v0, v1, v2, v3, v4, v5, v6, v7, v8, v9, v10, v11, v12, v13, v14, v15};
  memcpy(S->v, v, sizeof(v));
  return 0;
}

int blake2s_partial(uint64_t outlen, const void* in, uint64_t inlen, blake2s_midstate* out,
                    bool extended) {
  if (!in && inlen > 0) return -1;
  if (!out) return -1;
  if (outlen == 0 || outlen > BLAKE2S_OUTBYTES) return -1;

  blake2s_state S;
  if (blake2s_init(&S, outlen) < 0) return -1;
  blake2s_update(&S, in, inlen);
  blake2s_final_partial(&S, nullptr, 0, extended);
  memcpy(out->h, S.h, sizeof(out->h));
  memcpy(out->v, S.v, sizeof(out->v));
  return 0;
}
