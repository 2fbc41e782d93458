// Host-side CUDA entry points, compiled by nvcc (runner.cu); plain C++ so the
// nan/node side never sees CUDA headers.
#ifndef NONCESIEVE_RUNNER_H
#define NONCESIEVE_RUNNER_H

namespace nvsieve {

// Number of CUDA devices, or a negative CUDA error code.
int device_count();

}  // namespace nvsieve

#endif
