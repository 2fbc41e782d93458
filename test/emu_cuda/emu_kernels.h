// CPU versions of the kernels, for machine code (SASS) the emulated driver
// cannot run: the host build of the same per-thread code, looked up by the
// kernel's mangled name.
#ifndef NONCESIEVE_EMU_KERNELS_H
#define NONCESIEVE_EMU_KERNELS_H

#include <cuda.h>
#include <stddef.h>

namespace emu_cuda {

struct Dim3 {
  unsigned x, y, z;
};

// What a CPU kernel sees of one launch. The launch has been checked (grid,
// block, stream, module); memory accesses still go through here so that they
// are checked against live allocations.
class LaunchContext {
 public:
  Dim3 grid;
  Dim3 block;
  void** args;  // as cuLaunchKernel passes them: one pointer per kernel parameter

  // Copies the launching module's global `name`; false when the module has no
  // such global of exactly `size` bytes.
  virtual bool read_variable(const char* name, void* out, size_t size) const = 0;
  // True when [p, p + n) lies inside one live allocation.
  virtual bool is_device_range(CUdeviceptr p, size_t n) const = 0;
  // Writes n bytes to device memory; false (nothing written) when the range
  // is not, or no longer, allocated.
  virtual bool store(CUdeviceptr p, const void* src, size_t n) const = 0;

 protected:
  ~LaunchContext() = default;
};

typedef CUresult (*CpuKernel)(const LaunchContext& launch);

// The CPU version of the kernel `mangled_name`, or null.
CpuKernel find_cpu_kernel(const char* mangled_name);

}  // namespace emu_cuda

#endif
