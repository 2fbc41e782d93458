#include "device.h"

#include <cstdio>

#include "runner.h"
#include "scan_limits.h"

// Never destroyed: pool threads may still hold a lock while the process
// runs its static destructors on the way out.
GpuBlock& gpu_block(int ordinal) {
  static GpuBlock* blocks = new GpuBlock[DEVICE_TABLE_SIZE];
  return blocks[size_t(ordinal) % DEVICE_TABLE_SIZE];
}

void Device::initialize() {
  resultSlots.resize(size_t(bufferCount), nullptr);
  claims.reset(size_t(bufferCount));
  jobsPerBlock = cuda_get_jobsperblock(unsigned(deviceId));
  cuda_load_module(this);
  GpuBlock& block = gpu_block(deviceId);
  std::unique_lock<std::shared_mutex> alone(block.lock);
  remakeSlots(block.generation);
}

void Device::remakeSlots(uint64_t generation) {
  for (int i = 0; i < bufferCount; ++i) cuda_init_device(this, i, 0);
  slotsGeneration = generation;
}

// Waits for the GPU's scans in flight: one of them may use the slot replaced.
void Device::createBenchmarkBuffers() {
  if (resultSlots.empty()) return;
  GpuBlock& block = gpu_block(deviceId);
  std::unique_lock<std::shared_mutex> alone(block.lock);
  if (slotsGeneration != block.generation) {
    remakeSlots(block.generation);
    return;
  }
  uint64_t* replaced = resultSlots[0];
  cuda_init_device(this, 0, 0);
  cuda_free_slot(this, replaced);
}

// The reset takes every record's slots and d_data with it, so it waits for
// the GPU's scans in flight; this record makes its slots anew at once, the
// GPU's other records at their next scan.
void Device::reset() {
  GpuBlock& block = gpu_block(deviceId);
  std::unique_lock<std::shared_mutex> alone(block.lock);
  cuda_reset_device(this);
  ++block.generation;
  remakeSlots(block.generation);
  block.uploaded = 0;
}

GpuContext::GpuContext() : devices(DEVICE_TABLE_SIZE, nullptr) {}

void GpuContext::setTotalDevices() { totalDevices = cuda_get_total_devices(); }

int GpuContext::getBatchSize(int ordinal) { return cuda_get_batch_size(unsigned(ordinal)); }

int GpuContext::getGran(int ordinal) { return cuda_get_gran(unsigned(ordinal)); }

uint64_t GpuContext::scanNonces(const unsigned char* header, unsigned char* target,
                                unsigned long startNonce, Device* device, unsigned int slot) {
  return cuda_scan_nonces(header, target, startNonce, device, slot);
}

void GpuContext::setBlock() {
  for (int id : activeDevices) devices.at(size_t(id))->setBlockStatus();
}

int GpuContext::initDevices(std::vector<int>& ids, std::vector<int>& bufferCounts,
                            std::vector<unsigned long>& workSizes) {
  printf("Detected %d total devices\n", totalDevices);
  printf("Active devices:\n");
  if (ids.empty()) {
    printf("All Devices have been initialized successfully\n");
    fflush(stdout);
    return 0;
  }
  for (size_t n = 0; n < ids.size(); ++n) {
    const unsigned long threads = workSizes.at(n);
    const std::string name = cuda_get_device_name(unsigned(ids[n]));
    printf("    GPU#%d, Name: %s, Cuda threads: %lu  \n", ids[n], name.c_str(), threads);
  }
  fflush(stdout);
  for (size_t n = 0; n < ids.size(); ++n) {
    activeDevices.push_back(ids[n]);
    Device* device = new Device();
    device->bufferCount = bufferCounts.at(n);
    device->deviceId = ids[n];
    device->cudaThreads = workSizes.at(n);
    device->initialize();
    devices.at(size_t(ids[n])) = device;
  }
  printf("All Devices have been initialized successfully\n");
  fflush(stdout);
  return 0;
}
