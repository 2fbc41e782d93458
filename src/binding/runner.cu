// Host-side CUDA code for nvsieve. Stub until the search runner lands.
#include <cuda_runtime.h>

#include "runner.h"

namespace nvsieve {

int device_count() {
  int n = 0;
  cudaError_t err = cudaGetDeviceCount(&n);
  return err == cudaSuccess ? n : -static_cast<int>(err);
}

}  // namespace nvsieve
