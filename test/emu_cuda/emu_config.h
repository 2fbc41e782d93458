// Configuration of the emulated CUDA driver, read from the environment:
//   NVSIEVE_EMU_DEVICES  JSON array of {"name", "totalGlobalMem", "major", "minor"}
//   NVSIEVE_EMU_FAIL     comma-separated function[:call][=code] failure points,
//                        naming driver entry points (cuMemAlloc, cuLaunchKernel)
//   NVSIEVE_EMU_DRIVER   the driver branch: 352 (older than CUDA 8), 470, 535 or
//                        580 (default 580)
//   NVSIEVE_EMU_STREAM   "per-thread": work on the legacy stream is refused
//   NVSIEVE_EMU_NEWER_CUBINS  "refuse": SASS made by a newer toolkit than the
//                        driver's CUDA version is refused (default: loaded)
#ifndef NONCESIEVE_EMU_CONFIG_H
#define NONCESIEVE_EMU_CONFIG_H

#include <stdint.h>

#include <string>
#include <vector>

namespace emu_cuda {

struct DeviceConfig {
  std::string name = "Emulated GPU";
  uint64_t total_global_mem = 8589934592ull;
  int major = 8;
  int minor = 6;
};

// One failure point: the `call`-th call (counted from 1, process-wide) of the
// driver function `function` fails with `code`, or with that function's usual
// failure when `code` is 0.
struct FailurePoint {
  std::string function;
  uint64_t call = 1;
  int code = 0;
};

// Parses the device list. Null or empty text gives the one default device; a
// field left out keeps the default device's value; unknown fields are skipped.
bool parse_devices(const char* json, std::vector<DeviceConfig>* out, std::string* error);

// Parses a failure list such as "cuMemAlloc:2,cuLaunchKernel". Null or empty
// text gives none.
bool parse_failures(const char* text, std::vector<FailurePoint>* out, std::string* error);

// The CUDA version a driver branch supports (535: 12020); null or empty text
// gives 580's. False for a branch the emulator does not know.
bool parse_driver(const char* text, int* cuda_version, std::string* error);

// The lowest driver CUDA version that knows PTX ISA major.minor, 0 when the
// emulator does not know the ISA.
int ptx_isa_driver(int major, int minor);

}  // namespace emu_cuda

#endif
