// One CUDA device as nvsieve drives it, and the set of devices one
// GpuContextWrapper works with. All GPU work goes through the runner.
#ifndef NONCESIEVE_CUDA_DEVICE_H
#define NONCESIEVE_CUDA_DEVICE_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "job_number.h"
#include "slot_claims.h"

// What one GPU's d_data holds. Every Device record of that GPU in the
// process (two wrappers, or an ordinal initialised twice) shares it, since
// they share the GPU's constant memory.
struct GpuBlock {
  // Scans launch under the shared lock; an upload, a reset or a change of a
  // record's slots takes it alone, so no memory a scan uses goes under it.
  std::shared_mutex lock;
  uint64_t uploaded = 0;  // the job number whose block is on the GPU; 0 none
  // Counts the GPU's resets. A record whose slots are older was reset by
  // another record of the GPU: its slots are gone and must be made anew.
  uint64_t generation = 0;
};
GpuBlock& gpu_block(int ordinal);

class Device {
 public:
  // Jobs are numbered: setBlock starts a new one. A scan carries the number
  // of the job it was queued for and uploads that job's block unless the GPU
  // holds it already, so no scan ever runs on an older job's block.
  std::atomic<uint64_t> currentJob{next_job_number()};

  int jobsPerBlock = 0;
  int bufferCount = 0;
  int deviceId = 0;
  std::vector<uint64_t*> resultSlots;
  uint64_t slotsGeneration = 0;  // the GPU's generation when they were made
  // Which slots have a scan in flight (the script keeps it to one each).
  SlotClaims claims;
  unsigned long cudaThreads = 0;
  int updateB = 256;
  int updateA = 4;

  void initialize();
  void createBuffers() {}
  void createBenchmarkBuffers();
  void reset();
  // Makes every slot anew after a reset of the GPU (block lock held alone).
  void remakeSlots(uint64_t generation);
  // A new job: the next scan queued uploads the block it carries.
  void setBlockStatus() { currentJob = next_job_number(); }
};

class GpuContext {
 public:
  int totalDevices = 0;
  std::vector<Device*> devices;
  std::vector<int> activeDevices;

  GpuContext();
  void setTotalDevices();
  int getBatchSize(int ordinal);
  int getGran(int ordinal);
  static uint64_t scanNonces(const unsigned char* header, unsigned char* target,
                             unsigned long startNonce, Device* device, unsigned int slot);
  void setBlock();
  int initDevices(std::vector<int>& ids, std::vector<int>& bufferCounts,
                  std::vector<unsigned long>& workSizes);
};

#endif
