#include "runner.h"

#include <chrono>
#include <cstdio>
#include <iostream>

#include "scan_limits.h"
#include "device.h"
#include "hex.h"
#include "nonce_search.h"

uint64_t opencl_scan_nonces(const unsigned char*, unsigned char*, uint64_t startNonce,
                            Device* device, unsigned int thread) {
  device->scan(startNonce, int(thread));
  const uint64_t result = device->readResultNonce(int(thread));
  if (result == device->maxNonce) return NOT_FOUND_NONCE;
  // The in-order queue lands this reset before the thread's next kernel.
  device->setMaxNonce(int(thread));
  return result;
}

int opencl_test(Device* device) {
  unsigned char header[NS_HEADER_BYTES];
  unsigned char target[NS_TARGET_BYTES];
  HexToBin(SELFTEST_HEADER_HEX, header, sizeof(header));
  HexToBin(SELFTEST_TARGET_HEX, target, sizeof(target));
  device->setBlock(header, target);

  uint64_t result = 0;
  const auto begin = std::chrono::steady_clock::now();
  for (int i = 0; i < 20; ++i)
    result = opencl_scan_nonces(header, target, SELFTEST_START_NONCE, device, 0);
  const auto end = std::chrono::steady_clock::now();
  const double ms =
      double(std::chrono::duration_cast<std::chrono::nanoseconds>(end - begin).count()) / 1000000;
  std::cout << ms << " ms" << std::endl;
  printf("Result: %lu\n", (unsigned long)result);
  fflush(stdout);
  return 0;
}

double opencl_benchmark(Device*, int) { return 0.0; }
