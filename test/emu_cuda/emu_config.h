// Configuration of the emulated CUDA platform, read from the environment:
//   NVSIEVE_EMU_DEVICES  JSON array of {"name", "totalGlobalMem", "major", "minor"}
//   NVSIEVE_EMU_FAIL     comma-separated function[:call][=code] failure points
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
// runtime function `function` fails with `code`, or with that function's usual
// failure when `code` is 0.
struct FailurePoint {
  std::string function;
  uint64_t call = 1;
  int code = 0;
};

// Parses the device list. Null or empty text gives the one default device; a
// field left out keeps the default device's value; unknown fields are skipped.
bool parse_devices(const char* json, std::vector<DeviceConfig>* out, std::string* error);

// Parses a failure list such as "cudaMalloc:2,cudaLaunchKernel". Null or empty
// text gives none.
bool parse_failures(const char* text, std::vector<FailurePoint>* out, std::string* error);

}  // namespace emu_cuda

#endif
