// The proof-of-work core's self-test on the host: for the built-in job it
// computes the BLAKE2s-256 digest of the CUDA self-test header, hash bytes
// 24-31 for a few nonces through both block variants, and the target's top
// 64 bits, and compares each with its known value. Prints one line per value
// and exits 1 when any differs, so a build that hashes wrongly is stopped
// before a GPU is involved.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "blake2s.h"
#include "hex.h"
#include "nonce_search.h"
#include "search_block.h"

namespace {

// Digest of the built-in header with the CUDA self-test's nonce field
// (FD FE FF FF 0F 00), as Python's hashlib.blake2s gives it.
const char kCudaHeaderDigest[] = "4cb5e21d6d359af8c6b592b1df1019eeb6b45055ef12019fe27e75e81a62be2a";

// Hash bytes 24-31 (little-endian) of the built-in header with each nonce.
struct NonceValue {
  uint64_t nonce;
  uint64_t h3;
};
const NonceValue kNonceValues[] = {
    {0, 0x19EC5359807E4FF3ULL},
    {1, 0x97E90B0870C65918ULL},
    // Above 2^32: the nonce's bits 32-47 reach header bytes 284-285.
    {0x123456789ABCULL, 0xE74D9D0E19E87904ULL},
};
const uint64_t kTargetTop = 0x000000A4B4AFCD6DULL;

int failures = 0;

void report(const char* what, bool ok, const char* seen, const char* expected) {
  if (ok) {
    printf("ok    %s: %s\n", what, seen);
  } else {
    ++failures;
    printf("FAIL  %s: %s, expected %s\n", what, seen, expected);
  }
}

void check_u64(const char* what, uint64_t seen, uint64_t expected) {
  char s[24], e[24];
  snprintf(s, sizeof(s), "0x%016" PRIX64, seen);
  snprintf(e, sizeof(e), "0x%016" PRIX64, expected);
  report(what, seen == expected, s, e);
}

}  // namespace

int main() {
  unsigned char header[NS_HEADER_BYTES];
  unsigned char target[NS_TARGET_BYTES];
  if (HexToBin(SELFTEST_HEADER_HEX, header, sizeof(header)) != NS_HEADER_BYTES ||
      HexToBin(SELFTEST_TARGET_HEX, target, sizeof(target)) != NS_TARGET_BYTES) {
    fprintf(stderr, "core_selftest: the built-in job does not decode\n");
    return 1;
  }

  unsigned char cuda_header[NS_HEADER_BYTES];
  memcpy(cuda_header, header, sizeof(cuda_header));
  for (int i = 0; i < 6; ++i) cuda_header[280 + i] = uint8_t(CUDA_SELFTEST_NONCE >> (8 * i));
  uint8_t digest[BLAKE2S_OUTBYTES];
  char hex[2 * BLAKE2S_OUTBYTES + 1];
  if (blake2s(digest, sizeof(digest), cuda_header, sizeof(cuda_header), nullptr, 0) != 0) {
    report("self-test header digest", false, "an error from blake2s", kCudaHeaderDigest);
  } else {
    for (size_t i = 0; i < sizeof(digest); ++i) snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    report("self-test header digest", strcmp(hex, kCudaHeaderDigest) == 0, hex, kCudaHeaderDigest);
  }

  uint32_t basic[NS_BLOCK_WORDS], extended[NS_BLOCK_WORDS];
  build_search_block(header, target, false, basic);
  build_search_block(header, target, true, extended);
  for (const NonceValue& v : kNonceValues) {
    char what[64];
    snprintf(what, sizeof(what), "H3 of nonce 0x%" PRIX64 ", basic block", v.nonce);
    check_u64(what, ns_nonce_h3(basic, v.nonce, false), v.h3);
    snprintf(what, sizeof(what), "H3 of nonce 0x%" PRIX64 ", extended block", v.nonce);
    check_u64(what, ns_nonce_h3(extended, v.nonce, true), v.h3);
  }
  check_u64("target (top 64 bits), basic block", ns_target3(basic), kTargetTop);
  check_u64("target (top 64 bits), extended block", ns_target3(extended), kTargetTop);

  if (failures) {
    printf("core self-test FAILED: %d value%s differ\n", failures, failures == 1 ? "" : "s");
    return 1;
  }
  printf("core self-test passed\n");
  return 0;
}
