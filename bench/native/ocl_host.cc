// The binding's ceiling: the source kernel launched back to back on one
// OpenCL device by a minimal host, no Node.js in between. Each launch is
// followed by the same 8-byte blocking read a scan does.
// Usage: ocl_host KERNEL.cl DEVICE_INDEX WORK_SIZE SECONDS RUNS
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "hex.h"
#include "opencl.h"
#include "search_block.h"

int main(int argc, char** argv) {
  if (argc < 6) {
    fprintf(stderr, "usage: ocl_host KERNEL.cl DEVICE_INDEX WORK_SIZE SECONDS RUNS\n");
    return 2;
  }
  std::ifstream file(argv[1]);
  const std::string source((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const size_t index = strtoul(argv[2], nullptr, 10);
  const size_t work = strtoul(argv[3], nullptr, 10);
  const double seconds = atof(argv[4]);
  const int runs = atoi(argv[5]);

  const char* vendor_env = getenv("CLSIEVE_PLATFORM_VENDOR");
  const std::string vendor = vendor_env ? vendor_env : "Advanced Micro Devices";
  const char* type_env = getenv("CLSIEVE_DEVICE_TYPE");
  const std::string t = type_env && *type_env ? type_env : "gpu";
  const cl_device_type type = t == "cpu" ? CL_DEVICE_TYPE_CPU : t == "all" ? CL_DEVICE_TYPE_ALL
                              : t == "accelerator" ? CL_DEVICE_TYPE_ACCELERATOR
                                                   : CL_DEVICE_TYPE_GPU;
  std::vector<cl::Device> devices;
  std::vector<cl::Platform> platforms;
  cl::Platform::get(&platforms);
  for (auto& p : platforms) {
    std::string v;
    p.getInfo(CL_PLATFORM_VENDOR, &v);
    if (v.find(vendor) == std::string::npos) continue;
    std::vector<cl::Device> found;
    p.getDevices(type, &found);
    devices.insert(devices.end(), found.begin(), found.end());
  }
  if (index >= devices.size()) {
    fprintf(stderr, "ocl_host: no device %zu\n", index);
    return 1;
  }
  cl::Device device = devices[index];
  cl::Context context(device, nullptr, nullptr, nullptr, nullptr);
  cl::Program program(context, cl::Program::Sources{source}, nullptr);
  program.build(nullptr, nullptr, nullptr);
  cl::Kernel kernel(program, "blake2s_hash", nullptr);
  cl::CommandQueue queue(context, device, 0, nullptr);
  cl::Buffer data(context, CL_MEM_READ_ONLY, NS_BLOCK_BYTES, nullptr, nullptr);
  cl::Buffer result(context, CL_MEM_READ_WRITE, 8, nullptr, nullptr);

  unsigned char header[NS_HEADER_BYTES], target[NS_TARGET_BYTES];
  HexToBin(SELFTEST_HEADER_HEX, header, sizeof(header));
  HexToBin(SELFTEST_TARGET_HEX, target, sizeof(target));
  uint32_t block[NS_BLOCK_WORDS];
  build_search_block(header, target, false, block);
  queue.enqueueWriteBuffer(data, CL_TRUE, 0, sizeof(block), block);
  uint64_t none = ~0ULL;
  queue.enqueueWriteBuffer(result, CL_TRUE, 0, 8, &none);
  kernel.setArg(1, data);
  kernel.setArg(2, result);

  uint64_t start = 0;
  for (int run = 0; run < runs; ++run) {
    uint64_t nonces = 0;
    const auto begin = std::chrono::steady_clock::now();
    double elapsed = 0;
    while (elapsed < seconds) {
      kernel.setArg(0, cl_ulong(start));
      if (queue.enqueueNDRangeKernel(kernel, cl::NullRange, cl::NDRange(work), cl::NDRange(256)) !=
          CL_SUCCESS) {
        fprintf(stderr, "ocl_host: enqueue failed\n");
        return 1;
      }
      uint64_t found = 0;
      queue.enqueueReadBuffer(result, CL_TRUE, 0, 8, &found);
      if (found != ~0ULL) queue.enqueueWriteBuffer(result, CL_FALSE, 0, 8, &none);
      start += work;
      nonces += work;
      elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    }
    printf("%.0f\n", double(nonces) / elapsed);
  }
  return 0;
}
