#include "reference.h"

std::vector<uint64_t> reference_winners(const uint32_t* block, uint64_t start_nonce,
                                        uint32_t threads, uint32_t gran, bool extended) {
  std::vector<uint64_t> winners;
  for (uint32_t job = 0; job < threads; ++job) {
    const uint64_t first = ns_thread_nonce(start_nonce, job, gran);
    for (uint32_t k = 0; k < gran; ++k) {
      const uint64_t nonce = first + k;
      if (ns_nonce_wins(block, nonce, extended)) winners.push_back(nonce);
    }
  }
  return winners;
}

bool reference_accepts(const uint32_t* block, uint64_t start_nonce, uint32_t threads,
                       uint32_t gran, bool extended, uint64_t nonce) {
  const uint64_t offset = nonce - start_nonce;  // wraps like the kernel's sum
  if (offset >= uint64_t(threads) * gran) return false;
  return ns_nonce_wins(block, nonce, extended);
}
