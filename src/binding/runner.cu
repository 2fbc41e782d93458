// Every call nvsieve makes into the CUDA runtime. Work is issued on the
// calling thread's default stream (the module is built in per-thread
// default-stream mode), so scans on different pool threads do not serialise.
#include "runner.h"

#include <cuda_runtime.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>

#include "blake2s.h"
#include "device.h"
#include "fatal.h"
#include "hex.h"
#include "kernel_blake.h"
#include "nonce_search.h"
#include "scan_limits.h"

namespace {

// A failed call names the runner function and its call site, on standard
// error, and ends the process. `ordinal` < 0 gives the message without a GPU.
void check(cudaError_t status, const char* func, int line, int ordinal) {
  if (status == cudaSuccess) return;
  if (ordinal >= 0)
    fprintf(stderr, "GPU#%d: Cuda error in func '%s' at line %i : %s.\n", ordinal, func, line,
            cudaGetErrorString(status));
  else
    fprintf(stderr, "Cuda error in func '%s' at line %i : %s.\n", func, line,
            cudaGetErrorString(status));
  fatal_exit();
}

const int kGlobal = -1;

cudaDeviceProp properties(unsigned int ordinal, const char* func, int line) {
  cudaDeviceProp prop;
  memset(&prop, 0, sizeof(prop));
  check(cudaGetDeviceProperties(&prop, int(ordinal)), func, line, int(ordinal));
  return prop;
}

#ifndef NVSIEVE_OLDEST_ARCH
#define NVSIEVE_OLDEST_ARCH 35
#endif

// The module carries no image for a device older than its oldest
// architecture (3.5 at best; 7.5 with CUDA 13): nothing can run there.
bool without_image(const cudaDeviceProp& prop) {
  return prop.major * 10 + prop.minor < NVSIEVE_OLDEST_ARCH;
}

// Launch, wait, read the slot, re-arm it after a find. The caller holds the
// GPU's block lock, so the block cannot change under the kernel.
uint64_t launch_and_collect(Device* device, unsigned long startNonce, unsigned int slot) {
  const unsigned int blocks = unsigned(device->cudaThreads / unsigned(device->jobsPerBlock));
  uint64_t* result_slot = device->resultSlots.at(slot);
  // An empty grid tests nothing; launching it would only be refused.
  if (blocks > 0) {
    // A launch that fails would otherwise look like a range without a winner.
    check(launch_blake2s_hash(blocks, unsigned(device->jobsPerBlock), startNonce, result_slot),
          "cuda_scan_nonces", 176, device->deviceId);
  }
  // A fault of the kernel shows here, and is reported here.
  check(cudaStreamSynchronize(cudaStreamPerThread), "cuda_scan_nonces", 180, device->deviceId);

  uint64_t found = 0;
  check(cudaMemcpy(&found, result_slot, sizeof(found), cudaMemcpyDeviceToHost),
        "cuda_scan_nonces", 191, device->deviceId);
  if (found == ~0ULL) return NOT_FOUND_NONCE;
  check(cudaMemset(result_slot, 0xFF, sizeof(uint64_t)), "cuda_scan_nonces", 200,
        device->deviceId);
  return found;
}

}  // namespace

void cuda_init_device(Device* device, int slot, unsigned long) {
  check(cudaSetDevice(device->deviceId), "cuda_init_device", 112, device->deviceId);
  void* memory = nullptr;
  check(cudaMalloc(&memory, sizeof(uint64_t)), "cuda_init_device", 114, device->deviceId);
  device->resultSlots.at(slot) = static_cast<uint64_t*>(memory);
  check(cudaMemset(memory, 0xFF, sizeof(uint64_t)), "cuda_init_device", 116, device->deviceId);
}

void cuda_free_slot(const Device* device, uint64_t* slot) {
  if (slot == nullptr) return;
  check(cudaSetDevice(device->deviceId), "cuda_free_slot", 130, device->deviceId);
  check(cudaFree(slot), "cuda_free_slot", 131, device->deviceId);
}

void cuda_reset_device(const Device* device) {
  check(cudaSetDevice(device->deviceId), "cuda_reset_device", 124, device->deviceId);
  check(cudaDeviceReset(), "cuda_reset_device", 125, device->deviceId);
}

uint64_t cuda_scan_nonces(const unsigned char* header, unsigned char* target,
                          unsigned long startNonce, Device* device, unsigned int slot) {
  return cuda_scan_nonces_for_job(header, target, startNonce, device, slot,
                                    device->currentJob.load());
}

uint64_t cuda_scan_nonces_for_job(const unsigned char* header, unsigned char* target,
                                  unsigned long startNonce, Device* device, unsigned int slot,
                                  uint64_t job) {
  check(cudaSetDevice(device->deviceId), "cuda_scan_nonces", 158, device->deviceId);
  GpuBlock& block = gpu_block(device->deviceId);
  {
    std::shared_lock<std::shared_mutex> shared(block.lock);
    if (block.uploaded == job && device->slotsGeneration == block.generation)
      return launch_and_collect(device, startNonce, slot);
  }
  // The GPU holds another job's block, or was reset since this record's
  // slots were made: put both right, and launch before letting go, so that
  // every upload is followed by the scan that made it.
  std::unique_lock<std::shared_mutex> alone(block.lock);
  if (device->slotsGeneration != block.generation) device->remakeSlots(block.generation);
  if (block.uploaded != job) {
    // A block that did not arrive would be searched as if it had.
    check(set_init_data(header, target), "cuda_scan_nonces", 170, device->deviceId);
    check(cudaStreamSynchronize(cudaStreamPerThread), "cuda_scan_nonces", 171,
          device->deviceId);
    block.uploaded = job;
  }
  return launch_and_collect(device, startNonce, slot);
}

int cuda_get_total_devices() {
  int count = 0;
  check(cudaGetDeviceCount(&count), "cuda_get_total_devices", 209, kGlobal);
  return count;
}

int cuda_get_batch_size(unsigned int ordinal) {
  const cudaDeviceProp prop = properties(ordinal, "cuda_get_batch_size", 215);
  if (without_image(prop)) return 0;
  return int(double(prop.totalGlobalMem) * 0.8 / 524288.0);
}

int cuda_get_gran(unsigned int ordinal) {
  const cudaDeviceProp prop = properties(ordinal, "cuda_get_gran", 225);
  return without_image(prop) ? 0 : 1;
}

int cuda_get_jobsperblock(unsigned int ordinal) {
  properties(ordinal, "cuda_get_jobsperblock", 241);
  return CUDA_JOBS_PER_BLOCK;
}

std::string cuda_get_device_name(unsigned int ordinal) {
  const cudaDeviceProp prop = properties(ordinal, "cuda_get_device_name", 255);
  return std::string(prop.name, strnlen(prop.name, sizeof(prop.name)));
}

std::string cuda_get_key(unsigned int ordinal) {
  const cudaDeviceProp prop = properties(ordinal, "cuda_get_key", 262);
  std::string key(prop.name, strnlen(prop.name, sizeof(prop.name)));
  for (char& c : key)
    if (c == ' ') c = '_';
  // The memory is read as the key has always read it, though the key ends at
  // the "_" after the name.
  cuda_get_device_mem(ordinal);
  return key + "_";
}

uint64_t cuda_get_device_mem(unsigned int ordinal) {
  return properties(ordinal, "cuda_get_device_mem", 273).totalGlobalMem;
}

void cuda_set_flags() {
  check(cudaSetDeviceFlags(cudaDeviceScheduleBlockingSync), "cuda_set_flags", 278, kGlobal);
}

void cuda_test(Device* device) {
  unsigned char header[NS_HEADER_BYTES];
  unsigned char target[NS_TARGET_BYTES];
  HexToBin(SELFTEST_HEADER_HEX, header, sizeof(header));
  HexToBin(SELFTEST_TARGET_HEX, target, sizeof(target));
  for (int i = 0; i < 6; ++i) header[280 + i] = uint8_t(CUDA_SELFTEST_NONCE >> (8 * i));

  uint8_t digest[BLAKE2S_OUTBYTES];
  blake2s(digest, sizeof(digest), header, sizeof(header), nullptr, 0);
  for (uint8_t byte : digest) printf("%02x", byte);
  printf("\n");
  fflush(stdout);

  // The test is a job of its own: it scans the self-test block whatever job
  // the device holds, and the job's next scan puts the job's block back.
  const uint64_t job = next_job_number();
  const auto begin = std::chrono::steady_clock::now();
  for (int i = 0; i < 20; ++i) cuda_scan_nonces_for_job(header, target, 0, device, 0, job);
  const auto end = std::chrono::steady_clock::now();
  const double ms =
      double(std::chrono::duration_cast<std::chrono::nanoseconds>(end - begin).count()) / 1000000;
  std::cout << ms << " ms" << std::endl;

  printf("Result: %lu\n",
         (unsigned long)cuda_scan_nonces_for_job(header, target, 0, device, 0, job));
  printf("Expected Result: %lu\n", (unsigned long)CUDA_SELFTEST_EXPECTED);
  fflush(stdout);
}

double cuda_benchmark(Device*, unsigned int, unsigned int, unsigned int) { return 0.0; }
