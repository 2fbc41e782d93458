// BLAKE2s (RFC 7693) with a header finalisation that stops short of the last
// compression, so that the GPU can finish it once per nonce.
#ifndef NONCESIEVE_BLAKE2S_H
#define NONCESIEVE_BLAKE2S_H

#include <cstdint>

enum blake2s_constant {
  BLAKE2S_BLOCKBYTES = 64,
  BLAKE2S_OUTBYTES = 32,
  BLAKE2S_KEYBYTES = 32
};

struct blake2s_state {
  uint32_t v[16];  // working vector exported by blake2s_final_partial
  uint32_t h[8];
  uint32_t t[2];
  uint32_t f[2];
  uint8_t buf[BLAKE2S_BLOCKBYTES];
  uint64_t buflen;
  uint64_t outlen;
  uint8_t last_node;
};

struct blake2s_param {
  uint8_t digest_length;
  uint8_t key_length;
  uint8_t fanout;
  uint8_t depth;
  uint8_t leaf_length[4];
  uint8_t node_offset[6];
  uint8_t node_depth;
  uint8_t inner_length;
  uint8_t salt[8];
  uint8_t personal[8];
};
static_assert(sizeof(blake2s_param) == 32, "the parameter block is 32 bytes");

// Chaining value before the last block, then the last block's working vector
// after every step that does not depend on the nonce.
struct blake2s_midstate {
  uint32_t h[8];
  uint32_t v[16];
};
static_assert(sizeof(blake2s_midstate) == 96, "the midstate is 96 bytes");

int blake2s_init_param(blake2s_state* S, const blake2s_param* P);
int blake2s_init(blake2s_state* S, uint64_t outlen);
int blake2s_init_key(blake2s_state* S, uint64_t outlen, const void* key, uint64_t keylen);
int blake2s_update(blake2s_state* S, const void* in, uint64_t inlen);
int blake2s_final(blake2s_state* S, void* out, uint64_t outlen);
int blake2s(void* out, uint64_t outlen, const void* in, uint64_t inlen, const void* key,
            uint64_t keylen);

// Header finalisation: out and outlen are accepted for symmetry with
// blake2s_final and not used. `extended` also performs the nonce-independent
// steps of round 1's first two diagonal G's (valid when the last block holds at
// most 32 message bytes).
int blake2s_final_partial(blake2s_state* S, void* out, uint64_t outlen, bool extended);
int blake2s_partial(uint64_t outlen, const void* in, uint64_t inlen, blake2s_midstate* out,
                    bool extended);

#endif
