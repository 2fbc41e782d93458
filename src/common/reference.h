// Host reference of one kernel launch, for tests, the self-test check and
// benchmarks. Runs the same per-nonce arithmetic as the CUDA kernel.
#ifndef NONCESIEVE_REFERENCE_H
#define NONCESIEVE_REFERENCE_H

#include <stdint.h>

#include <vector>

#include "nonce_search.h"

// Every nonce that a launch of `threads` work items from `start_nonce` would
// find, in the order the threads test them. `gran` is 1 or 2; `extended`
// must match the block.
std::vector<uint64_t> reference_winners(const uint32_t* block, uint64_t start_nonce,
                                        uint32_t threads, uint32_t gran, bool extended);

// True when `nonce` is one that such a launch may report: inside the range
// and below the target.
bool reference_accepts(const uint32_t* block, uint64_t start_nonce, uint32_t threads,
                       uint32_t gran, bool extended, uint64_t nonce);

#endif
