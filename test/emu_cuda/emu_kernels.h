// CPU versions of the kernels the emulated runtime can launch, looked up by
// the mangled name nvcc registers.
#ifndef NONCESIEVE_EMU_KERNELS_H
#define NONCESIEVE_EMU_KERNELS_H

#include <cuda_runtime_api.h>
#include <stddef.h>

namespace emu_cuda {

// What a CPU kernel sees of one launch. The launch has been checked (grid,
// block, stream, device image); memory accesses still go through here so that
// they are checked against live allocations.
class LaunchContext {
 public:
  dim3 grid;
  dim3 block;
  void** args;  // as nvcc passes them: one pointer per kernel parameter

  // Copies the current device's copy of the launching module's variable
  // `name`; false when the module has no such variable of exactly `size` bytes.
  virtual bool read_variable(const char* name, void* out, size_t size) const = 0;
  // True when [p, p + n) lies inside one live allocation.
  virtual bool is_device_range(const void* p, size_t n) const = 0;
  // Writes n bytes to device memory; false (nothing written) when the range
  // is not, or no longer, allocated.
  virtual bool store(void* p, const void* src, size_t n) const = 0;

 protected:
  ~LaunchContext() = default;
};

typedef cudaError_t (*CpuKernel)(const LaunchContext& launch);

// The CPU version of the kernel registered as `mangled_name`, or null.
CpuKernel find_cpu_kernel(const char* mangled_name);

}  // namespace emu_cuda

#endif
