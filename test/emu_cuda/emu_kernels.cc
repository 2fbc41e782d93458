// The CPU kernels run the GPU build of the per-thread code, with host mirrors
// of the device intrinsics.
#define NS_DEVICE_MIRRORS 1
#include "emu_kernels.h"

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "nonce_search.h"

namespace emu_cuda {

namespace {

using ns_device_path::ns_cuda_thread;

// Stands in for the result slot on the host: keeps the last nonce stored.
struct Find {
  bool found = false;
  uint64_t nonce = 0;
  Find& operator=(uint64_t n) {
    found = true;
    nonce = n;
    return *this;
  }
};

// Runs blocks [first, last) of the grid, numbered x fastest, then y, then z,
// each block's threads in the same order, through the kernel's own per-thread
// code (the GPU build of nonce_search.h).
template <bool kBalanced>
void run_blocks(const uint32_t* data, uint64_t start_nonce, uint32_t one, Dim3 grid, Dim3 block,
                uint64_t first, uint64_t last, Find* out) {
  for (uint64_t b = first; b < last; ++b) {
    const Dim3 block_idx = {static_cast<unsigned>(b % grid.x),
                             static_cast<unsigned>(b / grid.x % grid.y),
                             static_cast<unsigned>(b / grid.x / grid.y)};
    for (unsigned z = 0; z < block.z; ++z)
      for (unsigned y = 0; y < block.y; ++y)
        for (unsigned x = 0; x < block.x; ++x)
          ns_cuda_thread<kBalanced>(block_idx, block, Dim3{x, y, z}, start_nonce, data, out, one);
  }
}

// blake2s_hash(unsigned long startNonce, unsigned long* resNonce), and
// blake2s_hash_balanced(unsigned long startNonce, unsigned long* resNonce,
// unsigned int one), which computes the same with a 1 passed in.
// The grid is spread over the host's cores in contiguous runs of blocks. The
// nonce left in the slot is the one of the highest-numbered finding thread, as
// if the threads had run one after another: real hardware leaves any one of
// them, so a deterministic choice is as valid and makes failures repeatable.
template <bool kBalanced>
CUresult blake2s_hash(const LaunchContext& launch) {
  unsigned long start_nonce;
  CUdeviceptr result;
  unsigned int one = 1;
  memcpy(&start_nonce, launch.args[0], sizeof(start_nonce));
  memcpy(&result, launch.args[1], sizeof(result));
  if (kBalanced) memcpy(&one, launch.args[2], sizeof(one));

  uint32_t data[NS_BLOCK_WORDS];
  if (!launch.read_variable("d_data", data, sizeof(data))) return CUDA_ERROR_NOT_FOUND;
  // A wild result pointer faults on the device only when a thread stores to
  // it; refusing it up front reports the same bug without a lucky miss.
  if (!launch.is_device_range(result, sizeof(unsigned long))) return CUDA_ERROR_ILLEGAL_ADDRESS;

  const uint64_t blocks = uint64_t(launch.grid.x) * launch.grid.y * launch.grid.z;
  const uint64_t threads_per_block = uint64_t(launch.block.x) * launch.block.y * launch.block.z;
  unsigned workers = std::max(1u, std::thread::hardware_concurrency());
  // Small launches are not worth a thread start.
  if (blocks * threads_per_block < 4096) workers = 1;
  workers = static_cast<unsigned>(std::min<uint64_t>(workers, blocks));

  // Worker w runs blocks [edge(w), edge(w + 1)).
  auto edge = [&](uint64_t w) { return blocks / workers * w + std::min<uint64_t>(w, blocks % workers); };
  std::vector<Find> finds(workers);
  std::vector<std::thread> threads;
  threads.reserve(workers - 1);
  for (unsigned w = 1; w < workers; ++w) {
    threads.emplace_back(run_blocks<kBalanced>, data, start_nonce, one, launch.grid, launch.block,
                         edge(w), edge(w + 1), &finds[w]);
  }
  run_blocks<kBalanced>(data, start_nonce, one, launch.grid, launch.block, 0, edge(1), &finds[0]);
  for (std::thread& t : threads) t.join();

  for (unsigned w = workers; w-- > 0;) {
    if (!finds[w].found) continue;
    const unsigned long nonce = finds[w].nonce;
    if (!launch.store(result, &nonce, sizeof(nonce))) return CUDA_ERROR_ILLEGAL_ADDRESS;
    break;
  }
  return CUDA_SUCCESS;
}

struct Entry {
  const char* mangled_name;
  CpuKernel kernel;
};

const Entry kKernels[] = {
    {"_Z12blake2s_hashmPm", blake2s_hash<false>},
    {"_Z21blake2s_hash_balancedmPmj", blake2s_hash<true>},
};

}  // namespace

CpuKernel find_cpu_kernel(const char* mangled_name) {
  for (const Entry& e : kKernels)
    if (strcmp(e.mangled_name, mangled_name) == 0) return e.kernel;
  return nullptr;
}

}  // namespace emu_cuda
