// The host reference on every core: how fast the shared per-nonce arithmetic
// runs as plain C++. Usage: reference_cpu SECONDS RUNS
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "hex.h"
#include "nonce_search.h"
#include "search_block.h"

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? atof(argv[1]) : 2;
  const int runs = argc > 2 ? atoi(argv[2]) : 3;
  unsigned char header[NS_HEADER_BYTES], target[NS_TARGET_BYTES];
  HexToBin(SELFTEST_HEADER_HEX, header, sizeof(header));
  HexToBin(SELFTEST_TARGET_HEX, target, sizeof(target));
  uint32_t block[NS_BLOCK_WORDS];
  build_search_block(header, target, true, block);
  const unsigned cores = std::thread::hardware_concurrency();

  for (int run = 0; run < runs; ++run) {
    std::atomic<bool> stop(false);
    std::atomic<uint64_t> total(0), winners(0);
    std::vector<std::thread> threads;
    const auto begin = std::chrono::steady_clock::now();
    for (unsigned c = 0; c < cores; ++c) {
      threads.emplace_back([&, c] {
        uint64_t nonce = uint64_t(c) << 40, done = 0, won = 0;
        while (!stop.load(std::memory_order_relaxed)) {
          for (int i = 0; i < 4096; ++i, ++nonce)
            won += ns_nonce_wins(block, nonce, true);
          done += 4096;
        }
        total += done;
        winners += won;
      });
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    for (auto& t : threads) t.join();
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    printf("%.0f\n", double(total.load()) / elapsed);
  }
  return 0;
}
