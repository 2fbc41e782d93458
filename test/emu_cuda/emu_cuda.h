// Hooks into the emulated CUDA driver for its own tests. The driver itself is
// the set of entry points defined in emu_driver.cc.
#ifndef NONCESIEVE_EMU_CUDA_H
#define NONCESIEVE_EMU_CUDA_H

#include <stddef.h>

#include <string>
#include <vector>

namespace emu_cuda {

// Replaces the configuration taken from NVSIEVE_EMU_DEVICES, NVSIEVE_EMU_FAIL
// and NVSIEVE_EMU_DRIVER (null: the default device, no failures, driver 580):
// frees every device's memory, unloads every module, restarts the call counts
// and undoes cuInit; the calling thread has no current context. On a parse
// error nothing changes.
bool configure(const char* devices_json, const char* failures, const char* driver,
               std::string* error);

// NVSIEVE_EMU_NEWER_CUBINS=refuse, or not.
void refuse_newer_cubins(bool refuse);

// The PTX texts of a fatbin (none when it is not one).
std::vector<std::string> fatbin_ptx(const void* image);

// Bytes allocated on `device` (module globals included) and not yet released.
size_t allocated_bytes(int device);

}  // namespace emu_cuda

#endif
