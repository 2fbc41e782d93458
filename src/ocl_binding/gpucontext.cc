#include "gpucontext.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "scan_limits.h"
#include "runner.h"

GpuContext::GpuContext(const std::string& vendor, cl_device_type type)
    : devices(DEVICE_TABLE_SIZE, nullptr), platformVendor(vendor), deviceType(type) {
  setDevices();
}

void GpuContext::setDevices() {
  std::lock_guard<std::mutex> discovering(opencl_discovery_lock());
  std::vector<cl::Platform> platforms;
  cl::Platform::get(&platforms);
  for (cl::Platform& platform : platforms) {
    std::string vendor;
    if (platform.getInfo(CL_PLATFORM_VENDOR, &vendor) != CL_SUCCESS) continue;
    if (vendor.find(platformVendor) == std::string::npos) continue;
    std::vector<cl::Device> found;
    platform.getDevices(deviceType, &found);
    clDevices.insert(clDevices.end(), found.begin(), found.end());
  }
}

bool discovery_from_environment(std::string* vendor, cl_device_type* type,
                                std::string* type_name) {
  const char* vendor_env = getenv("CLSIEVE_PLATFORM_VENDOR");
  *vendor = vendor_env ? vendor_env : "Advanced Micro Devices";
  const char* type_env = getenv("CLSIEVE_DEVICE_TYPE");
  *type_name = type_env && *type_env ? type_env : "gpu";
  if (*type_name == "gpu") *type = CL_DEVICE_TYPE_GPU;
  else if (*type_name == "cpu") *type = CL_DEVICE_TYPE_CPU;
  else if (*type_name == "accelerator") *type = CL_DEVICE_TYPE_ACCELERATOR;
  else if (*type_name == "all") *type = CL_DEVICE_TYPE_ALL;
  else return false;
  return true;
}

uint64_t batch_size_for_memory(uint64_t memBytes, uint64_t cap, int count) {
  const uint64_t limit = cap * uint64_t(int64_t(count));
  const uint64_t m = memBytes < limit ? memBytes : limit;
  return uint64_t(double(m) * 0.8 / 524288.0);
}

uint64_t GpuContext::getBatchSize(int index, int count) {
  cl_ulong mem = 0;
  clDevices.at(index).getInfo(CL_DEVICE_GLOBAL_MEM_SIZE, &mem);
  return batch_size_for_memory(mem, batchMemoryCap, count);
}

int GpuContext::initDevices(std::vector<int>& ids, std::vector<int>& threadCounts,
                            std::vector<int>& workSizes, std::vector<int>& localSizes,
                            bool useBinary) {
  printf("Detected %d total devices\n", int(clDevices.size()));
  printf("Active devices:\n");
  for (size_t n = 0; n < ids.size(); ++n) {
    std::string name;
    clDevices.at(ids.at(n)).getInfo(CL_DEVICE_NAME, &name);
    printf("    GPU#%d, Name: %s, Work size %d\n", ids[n], name.c_str(), workSizes.at(n));
  }
  printf("Building kernels...\n");
  fflush(stdout);
  for (size_t n = 0; n < ids.size(); ++n) {
    const int id = ids.at(n);
    Device* device = new Device();
    device->device = clDevices.at(id);
    device->threads = threadCounts.at(n);
    device->globalWorkSize = uint64_t(int64_t(workSizes.at(n)));
    device->localWorkSize = uint64_t(int64_t(localSizes.at(n)));
    device->useBinary = useBinary;
    activeDevices.push_back(id);
    device->initialize();
    if (hasBlock) device->setBlock(blockHeader, blockTarget);
    devices.at(id) = device;
  }
  printf("Kernels built successfully\n");
  fflush(stdout);
  return 0;
}

void GpuContext::setBlock(const unsigned char* header, const unsigned char* target) {
  memcpy(blockHeader, header, sizeof(blockHeader));
  memcpy(blockTarget, target, sizeof(blockTarget));
  hasBlock = true;
  for (int id : activeDevices) devices.at(id)->setBlock(header, target);
}

uint64_t GpuContext::scanNonces(const unsigned char* header, unsigned char* target, uint32_t start,
                                uint32_t index, uint32_t thread) {
  return opencl_scan_nonces(header, target, start, devices.at(index), thread);
}
