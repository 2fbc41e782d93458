#include "runner.h"

#include <chrono>
#include <cstdio>
#include <iostream>

#include "scan_limits.h"
#include "device.h"
#include "hex.h"
#include "job_number.h"
#include "nonce_search.h"

uint64_t opencl_scan_nonces(const unsigned char* header, unsigned char* target,
                            uint64_t startNonce, Device* device, unsigned int thread) {
  return opencl_scan_nonces_for_job(header, target, startNonce, device, thread, 0);
}

uint64_t opencl_scan_nonces_for_job(const unsigned char* header, unsigned char* target,
                                    uint64_t startNonce, Device* device, unsigned int thread,
                                    uint64_t job) {
  device->startScan(header, target, job, startNonce, int(thread));
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
  // The test is a job of its own: the current job's next scans write their
  // own block back.
  const uint64_t job = next_job_number();
  device->writeBlock(header, target, job);

  uint64_t result = 0;
  const auto begin = std::chrono::steady_clock::now();
  for (int i = 0; i < 20; ++i)
    result = opencl_scan_nonces_for_job(header, target, SELFTEST_START_NONCE, device, 0, job);
  const auto end = std::chrono::steady_clock::now();
  const double ms =
      double(std::chrono::duration_cast<std::chrono::nanoseconds>(end - begin).count()) / 1000000;
  std::cout << ms << " ms" << std::endl;
  printf("Result: %lu\n", (unsigned long)result);
  fflush(stdout);
  return 0;
}

double opencl_benchmark(Device*, int) { return 0.0; }
