// Hooks into the emulated CUDA runtime for its own tests. The runtime itself
// is the set of CUDA entry points defined in emu_runtime.cc.
#ifndef NONCESIEVE_EMU_CUDA_H
#define NONCESIEVE_EMU_CUDA_H

#include <stddef.h>

#include <string>
#include <vector>

namespace emu_cuda {

// Replaces the configuration taken from NVSIEVE_EMU_DEVICES and NVSIEVE_EMU_FAIL
// (null: the default device, no failures): frees every device's memory, zeroes
// the __constant__ copies, restarts the call counts, and makes device 0 current
// with no last error in the calling thread. On a parse error nothing changes.
bool configure(const char* devices_json, const char* failures, std::string* error);

// Mangled names of the kernels of the registered (not yet unregistered) modules.
std::vector<std::string> registered_kernels();

// Size of the registered variable `name`, 0 when no live module has one.
size_t registered_variable_size(const char* name);

// Bytes allocated with cudaMalloc on `device` and not yet released.
size_t allocated_bytes(int device);

}  // namespace emu_cuda

#endif
