// The OpenCL devices one GpuContextWrapper works with: discovery at
// construction, activation by initDevices, and the block of each new job
// fanned out to every active device.
#ifndef NONCESIEVE_OCL_GPUCONTEXT_H
#define NONCESIEVE_OCL_GPUCONTEXT_H

#include <cstdint>
#include <string>
#include <vector>

#include "device.h"

class GpuContext {
 public:
  std::vector<cl::Device> clDevices;
  std::vector<int> activeDevices;
  std::vector<Device*> devices;
  std::string platformVendor;
  uint64_t batchMemoryCap = 4404019200ULL;  // 4200 MiB per unit of the multiplier
  cl_device_type deviceType;
  // The block of the last set_block, which devices initialised later get too.
  bool hasBlock = false;
  unsigned char blockHeader[NS_HEADER_BYTES] = {};
  unsigned char blockTarget[NS_TARGET_BYTES] = {};

  // Lists every device of `deviceType` on every platform whose vendor
  // contains `platformVendor` (AMD's GPUs unless told otherwise).
  explicit GpuContext(const std::string& vendor = "Advanced Micro Devices",
                      cl_device_type type = CL_DEVICE_TYPE_GPU);

  void setDevices();
  uint64_t getBatchSize(int index, int count);
  int initDevices(std::vector<int>& ids, std::vector<int>& threadCounts,
                  std::vector<int>& workSizes, std::vector<int>& localSizes, bool useBinary);
  void setBlock(const unsigned char* header, const unsigned char* target);
  uint64_t scanNonces(const unsigned char* header, unsigned char* target, uint32_t start,
                      uint32_t index, uint32_t thread);
};

// Discovery as the environment widens it: CLSIEVE_PLATFORM_VENDOR (a
// substring of the platform's vendor; empty matches every platform) and
// CLSIEVE_DEVICE_TYPE (gpu, cpu, accelerator or all). Unset, AMD's GPUs.
// False, with `type_name` set, for a device type it does not know.
bool discovery_from_environment(std::string* vendor, cl_device_type* type,
                                std::string* type_name);

// The batch size for a device with `memBytes` of memory: the memory, capped at
// `cap` times count, times 0.8, in units of 2^19 bytes.
uint64_t batch_size_for_memory(uint64_t memBytes, uint64_t cap, int count);

#endif
