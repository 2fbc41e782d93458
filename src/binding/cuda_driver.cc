#include "cuda_driver.h"

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>

#include <mutex>

namespace {

struct Loaded {
  CudaDriverApi api = {};
  CUresult status = CUDA_DRIVER_UNUSABLE;
  std::string problem;  // why the driver is unusable, when it is
  int version = 0;
};

// The entry points and the names looked up for each; the first name found
// wins (the _v2 versions came with CUDA 11, the plain ones are older).
#define NS_ENTRY(field, ...) \
  { reinterpret_cast<void**>(&l->api.field), {__VA_ARGS__, nullptr} }
struct Entry {
  void** slot;
  const char* names[3];
};

std::string library_name() {
  const char* file = getenv("NVSIEVE_LIBCUDA");
  return file && file[0] ? file : "libcuda.so.1";
}

void open_driver(Loaded* l) {
  const std::string file = library_name();
  void* lib = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    const char* why = dlerror();
    l->problem = "no NVIDIA driver: " + file + " cannot be opened (" +
                 (why ? why : "unknown reason") +
                 "); install the NVIDIA driver for this GPU";
    return;
  }
  const Entry entries[] = {
      NS_ENTRY(cuInit, "cuInit"),
      NS_ENTRY(cuDriverGetVersion, "cuDriverGetVersion"),
      NS_ENTRY(cuGetErrorString, "cuGetErrorString"),
      NS_ENTRY(cuDeviceGetCount, "cuDeviceGetCount"),
      NS_ENTRY(cuDeviceGet, "cuDeviceGet"),
      NS_ENTRY(cuDeviceGetName, "cuDeviceGetName"),
      NS_ENTRY(cuDeviceGetAttribute, "cuDeviceGetAttribute"),
      NS_ENTRY(cuDeviceTotalMem, "cuDeviceTotalMem_v2"),
      NS_ENTRY(cuDevicePrimaryCtxRetain, "cuDevicePrimaryCtxRetain"),
      NS_ENTRY(cuDevicePrimaryCtxSetFlags, "cuDevicePrimaryCtxSetFlags_v2",
               "cuDevicePrimaryCtxSetFlags"),
      NS_ENTRY(cuDevicePrimaryCtxReset, "cuDevicePrimaryCtxReset_v2", "cuDevicePrimaryCtxReset"),
      NS_ENTRY(cuCtxSetCurrent, "cuCtxSetCurrent"),
      NS_ENTRY(cuModuleLoadData, "cuModuleLoadData"),
      NS_ENTRY(cuModuleGetFunction, "cuModuleGetFunction"),
      NS_ENTRY(cuModuleGetGlobal, "cuModuleGetGlobal_v2"),
      NS_ENTRY(cuFuncGetAttribute, "cuFuncGetAttribute"),
      NS_ENTRY(cuMemAlloc, "cuMemAlloc_v2"),
      NS_ENTRY(cuMemFree, "cuMemFree_v2"),
      NS_ENTRY(cuMemsetD8Async, "cuMemsetD8Async"),
      NS_ENTRY(cuMemcpyHtoDAsync, "cuMemcpyHtoDAsync_v2"),
      NS_ENTRY(cuMemcpyDtoHAsync, "cuMemcpyDtoHAsync_v2"),
      NS_ENTRY(cuLaunchKernel, "cuLaunchKernel"),
      NS_ENTRY(cuStreamSynchronize, "cuStreamSynchronize"),
  };
  for (const Entry& e : entries) {
    for (const char* const* name = e.names; *name && !*e.slot; ++name) *e.slot = dlsym(lib, *name);
    if (!*e.slot) {
      // The library stays open: what it holds may still be in use.
      l->problem = file + " has no " + e.names[0] +
                   ": the NVIDIA driver is too old or broken; install the NVIDIA driver "
                   "for this GPU (R470 or newer)";
      return;
    }
  }
  l->api.cuDriverGetVersion(&l->version);
  // A driver that does not start answers every later call with the same status.
  l->status = l->api.cuInit(0);
}

Loaded& loaded() {
  static Loaded* l = new Loaded();  // never destroyed: pool threads use it to the end
  static std::once_flag once;
  std::call_once(once, [] { open_driver(l); });
  return *l;
}

}  // namespace

CUresult cuda_driver(const CudaDriverApi** api) {
  Loaded& l = loaded();
  *api = &l.api;
  return l.status;
}

std::string cuda_driver_error_text(CUresult status) {
  Loaded& l = loaded();
  if (status == CUDA_DRIVER_UNUSABLE) return l.problem;
  const char* text = nullptr;
  if (l.api.cuGetErrorString && l.api.cuGetErrorString(status, &text) == CUDA_SUCCESS && text) {
    // A few of the driver's texts end with a period; the messages add their own.
    std::string s(text);
    if (!s.empty() && s.back() == '.') s.pop_back();
    return s;
  }
  return "unknown CUDA error " + std::to_string(int(status));
}

int cuda_driver_version() { return loaded().version; }

std::string cuda_version_text(int version) {
  char text[32];
  snprintf(text, sizeof(text), "CUDA %d.%d", version / 1000, version % 1000 / 10);
  return text;
}
