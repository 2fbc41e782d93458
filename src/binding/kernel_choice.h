// Which of the module's search kernels the launches use (NVSIEVE_KERNEL).
// Free of CUDA headers, for the binding.
#ifndef NONCESIEVE_CUDA_KERNEL_CHOICE_H
#define NONCESIEVE_CUDA_KERNEL_CHOICE_H

// Chooses the kernel every later launch of the process uses, by name:
// "default" or "balanced" (null or empty is "default"). Returns null, or the
// reason an unknown name is refused (the choice is then unchanged). The
// choice is process-wide, as the environment is.
const char* cuda_choose_kernel(const char* name);

#endif
