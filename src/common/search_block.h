// The search data block: what the GPU kernel reads for one job.
#ifndef NONCESIEVE_SEARCH_BLOCK_H
#define NONCESIEVE_SEARCH_BLOCK_H

#include <stdint.h>

#include "nonce_search.h"

// Builds the 104-word block from a 286-byte header and a 32-byte target.
// `extended` selects the precomputation of the two-nonce and CUDA kernels;
// the OpenCL source kernel reads the basic one.
void build_search_block(const unsigned char* header, const unsigned char* target, bool extended,
                        uint32_t block[NS_BLOCK_WORDS]);

#endif
