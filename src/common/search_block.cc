#include "search_block.h"

#include <cstring>

#include "blake2s.h"

void build_search_block(const unsigned char* header, const unsigned char* target, bool extended,
                        uint32_t block[NS_BLOCK_WORDS]) {
  unsigned char bytes[NS_BLOCK_BYTES];
  memset(bytes, 0, sizeof(bytes));
  memcpy(bytes, header, NS_HEADER_BYTES);
  memcpy(bytes + 4 * NS_WORD_TARGET, target, NS_TARGET_BYTES);
  blake2s_midstate midstate;
  blake2s_partial(BLAKE2S_OUTBYTES, header, NS_HEADER_BYTES, &midstate, extended);
  memcpy(bytes + 4 * NS_WORD_SS, &midstate, sizeof(midstate));
  // The device reads the words little-endian, as they are stored here.
  memcpy(block, bytes, sizeof(bytes));
}
