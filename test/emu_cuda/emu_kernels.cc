#include "emu_kernels.h"

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "nonce_search.h"

namespace emu_cuda {

namespace {

// Highest-numbered thread of a range that found a nonce.
struct Find {
  bool found = false;
  uint64_t nonce = 0;
};

// Threads [first, last) in launch order, block-major as the hardware numbers them.
void search_range(const uint32_t* data, uint64_t start_nonce, uint32_t block_dim,
                  uint64_t first_block, uint64_t last_block, Find* out) {
  const uint64_t target3 = ns_target3(data);
  for (uint64_t b = first_block; b < last_block; ++b) {
    for (uint32_t t = 0; t < block_dim; ++t) {
      // blockIdx.x * blockDim.x + threadIdx.x, in the kernel's 32-bit arithmetic.
      const uint32_t job_id = static_cast<uint32_t>(b) * block_dim + t;
      const uint64_t nonce = ns_thread_nonce(start_nonce, job_id, 1);
      if (ns_is_winner(ns_nonce_h3(data, nonce, /*extended=*/true), target3)) {
        out->found = true;
        out->nonce = nonce;
      }
    }
  }
}

// blake2s_hash(unsigned long startNonce, unsigned long* resNonce).
// The grid is spread over the host's cores in contiguous runs of blocks. The
// nonce left in the slot is the one of the highest-numbered finding thread, as
// if the threads had run one after another: real hardware leaves any one of
// them, so a deterministic choice is as valid and makes failures repeatable.
// Only x counts, as in the kernel: threads differing in y or z repeat nonces.
cudaError_t blake2s_hash(const LaunchContext& launch) {
  unsigned long start_nonce;
  void* result;
  memcpy(&start_nonce, launch.args[0], sizeof(start_nonce));
  memcpy(&result, launch.args[1], sizeof(result));

  uint32_t data[NS_BLOCK_WORDS];
  if (!launch.read_variable("d_data", data, sizeof(data))) return cudaErrorInvalidSymbol;
  // A wild result pointer faults on the device only when a thread stores to
  // it; refusing it up front reports the same bug without a lucky miss.
  if (!launch.is_device_range(result, sizeof(unsigned long))) return cudaErrorIllegalAddress;

  const uint64_t blocks = launch.grid.x;
  const uint32_t block_dim = launch.block.x;
  unsigned workers = std::max(1u, std::thread::hardware_concurrency());
  // Small launches are not worth a thread start.
  if (blocks * block_dim < 4096) workers = 1;
  workers = static_cast<unsigned>(std::min<uint64_t>(workers, blocks));

  std::vector<Find> finds(workers);
  std::vector<std::thread> threads;
  threads.reserve(workers - 1);
  for (unsigned w = 1; w < workers; ++w) {
    threads.emplace_back(search_range, data, start_nonce, block_dim, blocks * w / workers,
                         blocks * (w + 1) / workers, &finds[w]);
  }
  search_range(data, start_nonce, block_dim, 0, blocks / workers, &finds[0]);
  for (std::thread& t : threads) t.join();

  for (unsigned w = workers; w-- > 0;) {
    if (!finds[w].found) continue;
    const unsigned long nonce = finds[w].nonce;
    if (!launch.store(result, &nonce, sizeof(nonce))) return cudaErrorIllegalAddress;
    break;
  }
  return cudaSuccess;
}

struct Entry {
  const char* mangled_name;
  CpuKernel kernel;
};

const Entry kKernels[] = {
    {"_Z12blake2s_hashmPm", blake2s_hash},
};

}  // namespace

CpuKernel find_cpu_kernel(const char* mangled_name) {
  for (const Entry& e : kKernels)
    if (strcmp(e.mangled_name, mangled_name) == 0) return e.kernel;
  return nullptr;
}

}  // namespace emu_cuda
