// The CUDA driver API, opened at run time from libcuda.so.1 (the library the
// NVIDIA driver installs), so that nvsieve loads on a machine without a
// driver and can say what is missing. Only cuda.h's types are used; nothing
// of the toolkit is linked in.
#ifndef NONCESIEVE_CUDA_DRIVER_H
#define NONCESIEVE_CUDA_DRIVER_H

#include <cuda.h>

#include <string>

// The entry points nvsieve calls, by their ABI names (cuda.h maps several
// public names to _v2 versions; these are those versions).
struct CudaDriverApi {
  CUresult (*cuInit)(unsigned int);
  CUresult (*cuDriverGetVersion)(int*);
  CUresult (*cuGetErrorString)(CUresult, const char**);
  CUresult (*cuDeviceGetCount)(int*);
  CUresult (*cuDeviceGet)(CUdevice*, int);
  CUresult (*cuDeviceGetName)(char*, int, CUdevice);
  CUresult (*cuDeviceGetAttribute)(int*, CUdevice_attribute, CUdevice);
  CUresult (*cuDeviceTotalMem)(size_t*, CUdevice);
  CUresult (*cuDevicePrimaryCtxRetain)(CUcontext*, CUdevice);
  CUresult (*cuDevicePrimaryCtxSetFlags)(CUdevice, unsigned int);
  CUresult (*cuDevicePrimaryCtxReset)(CUdevice);
  CUresult (*cuCtxSetCurrent)(CUcontext);
  CUresult (*cuModuleLoadData)(CUmodule*, const void*);
  CUresult (*cuModuleGetFunction)(CUfunction*, CUmodule, const char*);
  CUresult (*cuModuleGetGlobal)(CUdeviceptr*, size_t*, CUmodule, const char*);
  CUresult (*cuFuncGetAttribute)(int*, CUfunction_attribute, CUfunction);
  CUresult (*cuMemAlloc)(CUdeviceptr*, size_t);
  CUresult (*cuMemFree)(CUdeviceptr);
  CUresult (*cuMemsetD8Async)(CUdeviceptr, unsigned char, size_t, CUstream);
  CUresult (*cuMemcpyHtoDAsync)(CUdeviceptr, const void*, size_t, CUstream);
  CUresult (*cuMemcpyDtoHAsync)(void*, CUdeviceptr, size_t, CUstream);
  CUresult (*cuLaunchKernel)(CUfunction, unsigned, unsigned, unsigned, unsigned, unsigned,
                             unsigned, unsigned, CUstream, void**, void**);
  CUresult (*cuStreamSynchronize)(CUstream);
};

// What a call returns when the driver library could not be opened or lacks
// an entry point; cuda_driver_error_text says which.
const CUresult CUDA_DRIVER_UNUSABLE = CUresult(0x7fff0001);

// Opens the driver (once per process) and runs cuInit. NVSIEVE_LIBCUDA, when
// set and not empty, names the library file to open in place of libcuda.so.1
// (an emulated driver, for tests). Returns CUDA_SUCCESS with *api set, or the
// status that stopped it.
CUresult cuda_driver(const CudaDriverApi** api);

// The text for a status: the driver's own string (without a final period),
// or why the driver is unusable.
std::string cuda_driver_error_text(CUresult status);

// The CUDA version the driver supports (12020 for 12.2), 0 before it opened.
int cuda_driver_version();

// "CUDA 12.2", from a version as cuDriverGetVersion gives it.
std::string cuda_version_text(int version);

#endif
