// Prints what the proof-of-work core computes for the built-in self-test job:
// the BLAKE2s-256 digest of the CUDA self-test header, and hash bytes 24-31
// for a few nonces through both block variants. A quick check that a build
// hashes as it should, with no GPU involved.
#include <cinttypes>
#include <cstdio>

#include "blake2s.h"
#include "hex.h"
#include "nonce_search.h"
#include "search_block.h"

int main() {
  unsigned char header[NS_HEADER_BYTES];
  unsigned char target[NS_TARGET_BYTES];
  if (HexToBin(SELFTEST_HEADER_HEX, header, sizeof(header)) != NS_HEADER_BYTES ||
      HexToBin(SELFTEST_TARGET_HEX, target, sizeof(target)) != NS_TARGET_BYTES) {
    fprintf(stderr, "core_selftest: the built-in job does not decode\n");
    return 1;
  }

  unsigned char cuda_header[NS_HEADER_BYTES];
  for (int i = 0; i < NS_HEADER_BYTES; ++i) cuda_header[i] = header[i];
  for (int i = 0; i < 6; ++i) cuda_header[280 + i] = uint8_t(CUDA_SELFTEST_NONCE >> (8 * i));
  uint8_t digest[BLAKE2S_OUTBYTES];
  blake2s(digest, sizeof(digest), cuda_header, sizeof(cuda_header), nullptr, 0);
  printf("self-test header digest: ");
  for (uint8_t byte : digest) printf("%02x", byte);
  printf("\n");

  uint32_t basic[NS_BLOCK_WORDS], extended[NS_BLOCK_WORDS];
  build_search_block(header, target, false, basic);
  build_search_block(header, target, true, extended);
  const uint64_t nonces[] = {0, 1, 0x123456789ABCULL};
  for (uint64_t nonce : nonces) {
    printf("H3 of nonce 0x%" PRIX64 ": basic 0x%016" PRIX64 ", extended 0x%016" PRIX64 "\n", nonce,
           ns_nonce_h3(basic, nonce, false), ns_nonce_h3(extended, nonce, true));
  }
  printf("target (top 64 bits): 0x%016" PRIX64 "\n", ns_target3(basic));
  return 0;
}
