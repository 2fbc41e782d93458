// An emulated CUDA runtime: the entry points that nvcc's host code and
// nvsieve's runner call, backed by host memory and CPU versions of the kernels,
// so that the module's own objects can be linked and tested without a GPU.
// Built with hidden visibility and linked statically, like libcudart_static.a,
// so a process that also loads the real runtime keeps the two apart.
#include <cuda_runtime_api.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "emu_config.h"
#include "emu_cuda.h"
#include "emu_kernels.h"

// Entry points of nvcc's generated code (crt/host_runtime.h and
// crt/device_functions.h declare them for nvcc's output only), and the
// per-thread default-stream names that cuda_runtime_api.h maps calls to under
// --default-stream per-thread.
extern "C" {
void** __cudaRegisterFatBinary(void* fat_cubin);
void __cudaRegisterFatBinaryEnd(void** handle);
void __cudaUnregisterFatBinary(void** handle);
void __cudaRegisterFunction(void** handle, const char* host_fun, char* device_fun,
                            const char* device_name, int thread_limit, uint3* tid, uint3* bid,
                            dim3* block_dim, dim3* grid_dim, int* warp_size);
void __cudaRegisterVar(void** handle, char* host_var, char* device_address,
                       const char* device_name, int ext, size_t size, int constant, int global);
unsigned __cudaPushCallConfiguration(dim3 grid_dim, dim3 block_dim, size_t shared_mem,
                                     struct CUstream_st* stream);
cudaError_t __cudaPopCallConfiguration(dim3* grid_dim, dim3* block_dim, size_t* shared_mem,
                                       void* stream);
cudaError_t __cudaGetKernel(cudaKernel_t* kernel, const void* host_fun);
cudaError_t __cudaLaunchKernel(cudaKernel_t kernel, dim3 grid_dim, dim3 block_dim, void** args,
                               size_t shared_mem, cudaStream_t stream);
cudaError_t __cudaLaunchKernel_ptsz(cudaKernel_t kernel, dim3 grid_dim, dim3 block_dim,
                                    void** args, size_t shared_mem, cudaStream_t stream);

cudaError_t cudaMemcpy_ptds(void* dst, const void* src, size_t count, enum cudaMemcpyKind kind);
cudaError_t cudaMemset_ptds(void* dev_ptr, int value, size_t count);
cudaError_t cudaMemcpyToSymbol_ptds(const void* symbol, const void* src, size_t count,
                                    size_t offset, enum cudaMemcpyKind kind);
cudaError_t cudaMemcpyFromSymbol_ptds(void* dst, const void* symbol, size_t count, size_t offset,
                                      enum cudaMemcpyKind kind);
cudaError_t cudaStreamSynchronize_ptsz(cudaStream_t stream);
cudaError_t cudaLaunchKernel_ptsz(const void* func, dim3 grid_dim, dim3 block_dim, void** args,
                                  size_t shared_mem, cudaStream_t stream);
}

// cudaDeviceProp has no versioned entry point: the module and this runtime are
// compiled against the same toolkit's headers (scripts/find-cuda.js), so the
// properties it fills have the layout the module reads.

// The oldest machine code the module carries, from the architecture list the
// build uses (scripts/cuda-archs.js --oldest).
#ifndef NVSIEVE_OLDEST_ARCH
#error "define NVSIEVE_OLDEST_ARCH as scripts/cuda-archs.js --oldest prints it"
#endif

namespace {

using emu_cuda::DeviceConfig;
using emu_cuda::FailurePoint;

struct Module {
  bool live = true;
};

struct Kernel {
  Module* module;
  const void* host_fun;
  std::string name;
  emu_cuda::CpuKernel cpu;
};

struct Variable {
  Module* module;
  const void* host_var;
  std::string name;
  size_t size;
};

struct Device {
  DeviceConfig config;
  unsigned flags = 0;
  size_t allocated = 0;
  // This device's copy of each registered variable; absent means all zero.
  std::map<const Variable*, std::vector<unsigned char>> variables;
};

struct Allocation {
  size_t size;
  int device;
};

// Calls of one runtime function, and which of them fail (code 0: the usual failure).
struct FailureCounter {
  std::string function;
  uint64_t calls = 0;
  std::map<uint64_t, int> fail_at;
};

// Everything shared between threads, behind one mutex. Registration runs from
// the static constructors of nvcc's objects, before any of ours, and
// unregistration from atexit handlers, so the registry is built on first use
// and never destroyed. Modules, kernels and variables are never freed either:
// the generated code caches kernel handles for the life of the process.
struct Registry {
  std::mutex mu;
  std::vector<Module*> modules;
  std::vector<Kernel*> kernels;
  std::vector<Variable*> variables;
  std::vector<Device> devices;
  std::map<uintptr_t, Allocation> allocations;  // by base address
  std::vector<FailureCounter> failures;
  bool config_failed = false;

  Registry() {
    std::string error;
    if (!load_devices(getenv("NVSIEVE_EMU_DEVICES"), &error)) {
      fprintf(stderr, "nvsieve_emu: NVSIEVE_EMU_DEVICES: %s\n", error.c_str());
      config_failed = true;
    }
    if (!load_failures(getenv("NVSIEVE_EMU_FAIL"), &error)) {
      fprintf(stderr, "nvsieve_emu: NVSIEVE_EMU_FAIL: %s\n", error.c_str());
      config_failed = true;
    }
  }

  bool load_devices(const char* json, std::string* error) {
    std::vector<DeviceConfig> configs;
    if (!emu_cuda::parse_devices(json, &configs, error)) return false;
    release_all();
    devices.clear();
    for (const DeviceConfig& s : configs) {
      devices.emplace_back();
      devices.back().config = s;
    }
    return true;
  }

  bool load_failures(const char* text, std::string* error) {
    std::vector<FailurePoint> points;
    if (!emu_cuda::parse_failures(text, &points, error)) return false;
    failures.clear();
    for (const FailurePoint& p : points) {
      FailureCounter* c = nullptr;
      for (FailureCounter& f : failures)
        if (f.function == p.function) c = &f;
      if (!c) {
        failures.emplace_back();
        c = &failures.back();
        c->function = p.function;
      }
      c->fail_at[p.call] = p.code;
    }
    return true;
  }

  void release_all() {
    for (auto& a : allocations) free(reinterpret_cast<void*>(a.first));
    allocations.clear();
  }

  void reset_device(int d) {
    for (auto it = allocations.begin(); it != allocations.end();) {
      if (it->second.device == d) {
        free(reinterpret_cast<void*>(it->first));
        it = allocations.erase(it);
      } else {
        ++it;
      }
    }
    devices[d].allocated = 0;
    devices[d].variables.clear();
  }

  // The allocation holding all of [p, p + n), or null.
  const Allocation* find(const void* p, size_t n) const {
    const uintptr_t a = reinterpret_cast<uintptr_t>(p);
    auto it = allocations.upper_bound(a);
    if (it == allocations.begin()) return nullptr;
    --it;
    const uintptr_t offset = a - it->first;
    if (offset > it->second.size || n > it->second.size - offset) return nullptr;
    return &it->second;
  }

  Kernel* kernel_by_stub(const void* host_fun) const {
    for (Kernel* k : kernels)
      if (k->host_fun == host_fun && k->module->live) return k;
    return nullptr;
  }

  Variable* variable_by_symbol(const void* symbol) const {
    for (Variable* v : variables)
      if (v->host_var == symbol && v->module->live) return v;
    return nullptr;
  }

  unsigned char* variable_copy(int d, const Variable* v) {
    std::vector<unsigned char>& bytes = devices[d].variables[v];
    bytes.resize(v->size);  // new copies start zeroed
    return bytes.data();
  }
};

Registry& registry() {
  static Registry* r = new Registry();
  return *r;
}

struct CallConfig {
  dim3 grid;
  dim3 block;
  size_t shared_mem;
  cudaStream_t stream;
};

// Per host thread, as in the runtime: the current device, the last error and
// the <<< >>> configurations not yet taken by a launch (they nest when a
// launch's arguments launch). Trivially destructible, so nothing runs at
// thread exit.
struct ThreadState {
  int device = 0;
  cudaError_t last_error = cudaSuccess;
  int pending = 0;
  CallConfig configs[8];
};
thread_local ThreadState t_thread;

// Every failing call leaves its status as the thread's last error until
// cudaGetLastError takes it.
cudaError_t record(cudaError_t e) {
  if (e != cudaSuccess) t_thread.last_error = e;
  return e;
}

// Counts the call and returns the failure injected for it, if any (mu held).
cudaError_t injected(Registry& r, const char* function, cudaError_t usual) {
  if (r.config_failed) return cudaErrorInitializationError;
  for (FailureCounter& f : r.failures) {
    if (f.function != function) continue;
    auto it = f.fail_at.find(++f.calls);
    if (it != f.fail_at.end()) return it->second ? static_cast<cudaError_t>(it->second) : usual;
  }
  return cudaSuccess;
}

// The shape of every public call: count it, maybe fail it, run it under the
// lock, record its status.
template <typename Body>
cudaError_t api_call(const char* function, cudaError_t usual, Body body) {
  Registry& r = registry();
  cudaError_t e;
  {
    std::lock_guard<std::mutex> lock(r.mu);
    e = injected(r, function, usual);
    if (e == cudaSuccess) e = body(r);
  }
  return record(e);
}

// The thread's current device, checked against the configured devices (mu held).
cudaError_t current_device(const Registry& r, int* d) {
  if (r.devices.empty()) return cudaErrorNoDevice;
  if (t_thread.device < 0 || size_t(t_thread.device) >= r.devices.size())
    return cudaErrorInvalidDevice;
  *d = t_thread.device;
  return cudaSuccess;
}

bool known_stream(cudaStream_t s) {
  // No stream is ever created, so only the default ones exist.
  return s == nullptr || s == cudaStreamLegacy || s == cudaStreamPerThread;
}

cudaError_t copy(Registry& r, void* dst, const void* src, size_t count, cudaMemcpyKind kind) {
  bool dst_on_device, src_on_device;
  switch (kind) {
    case cudaMemcpyHostToHost: dst_on_device = src_on_device = false; break;
    case cudaMemcpyHostToDevice: dst_on_device = true; src_on_device = false; break;
    case cudaMemcpyDeviceToHost: dst_on_device = false; src_on_device = true; break;
    case cudaMemcpyDeviceToDevice: dst_on_device = src_on_device = true; break;
    case cudaMemcpyDefault:
      // Unified addressing: the pointer says where it lives.
      dst_on_device = r.find(dst, 1) != nullptr;
      src_on_device = r.find(src, 1) != nullptr;
      break;
    default: return cudaErrorInvalidMemcpyDirection;
  }
  if (count == 0) return cudaSuccess;
  if (!dst || !src) return cudaErrorInvalidValue;
  if (dst_on_device && !r.find(dst, count)) return cudaErrorInvalidValue;
  if (src_on_device && !r.find(src, count)) return cudaErrorInvalidValue;
  memmove(dst, src, count);
  return cudaSuccess;
}

cudaError_t memset_device(Registry& r, void* p, int value, size_t count) {
  if (count == 0) return cudaSuccess;
  if (!r.find(p, count)) return cudaErrorInvalidValue;
  memset(p, value, count);
  return cudaSuccess;
}

// Copies between host memory and the current device's copy of a variable.
cudaError_t copy_symbol(Registry& r, const void* symbol, size_t offset, size_t count,
                        void* host_side, bool to_symbol, cudaMemcpyKind kind) {
  const bool kind_ok = kind == cudaMemcpyDefault || kind == cudaMemcpyDeviceToDevice ||
                       kind == (to_symbol ? cudaMemcpyHostToDevice : cudaMemcpyDeviceToHost);
  if (!kind_ok) return cudaErrorInvalidMemcpyDirection;
  int d;
  if (cudaError_t e = current_device(r, &d)) return e;
  const Variable* v = r.variable_by_symbol(symbol);
  if (!v) return cudaErrorInvalidSymbol;
  if (offset > v->size || count > v->size - offset) return cudaErrorInvalidValue;
  if (count == 0) return cudaSuccess;
  if (!host_side) return cudaErrorInvalidValue;
  if (kind == cudaMemcpyDeviceToDevice && !r.find(host_side, count)) return cudaErrorInvalidValue;
  unsigned char* bytes = r.variable_copy(d, v) + offset;
  if (to_symbol) memcpy(bytes, host_side, count);
  else memcpy(host_side, bytes, count);
  return cudaSuccess;
}

cudaError_t check_configuration(dim3 grid, dim3 block, size_t shared_mem) {
  // The limits every device of compute capability 3.0 and later reports.
  if (grid.x == 0 || grid.y == 0 || grid.z == 0) return cudaErrorInvalidConfiguration;
  if (grid.x > 2147483647u || grid.y > 65535 || grid.z > 65535) return cudaErrorInvalidConfiguration;
  if (block.x == 0 || block.y == 0 || block.z == 0) return cudaErrorInvalidConfiguration;
  if (block.x > 1024 || block.y > 1024 || block.z > 64) return cudaErrorInvalidConfiguration;
  if (uint64_t(block.x) * block.y * block.z > 1024) return cudaErrorInvalidConfiguration;
  if (shared_mem > 49152) return cudaErrorInvalidConfiguration;
  return cudaSuccess;
}

class Launch final : public emu_cuda::LaunchContext {
 public:
  Launch(Registry& r, const Kernel* k, int device) : r_(r), kernel_(k), device_(device) {}

  bool read_variable(const char* name, void* out, size_t size) const override {
    std::lock_guard<std::mutex> lock(r_.mu);
    for (const Variable* v : r_.variables) {
      if (v->module != kernel_->module || v->name != name) continue;
      if (v->size != size) return false;
      memcpy(out, r_.variable_copy(device_, v), size);
      return true;
    }
    return false;
  }

  bool is_device_range(const void* p, size_t n) const override {
    std::lock_guard<std::mutex> lock(r_.mu);
    return r_.find(p, n) != nullptr;
  }

  bool store(void* p, const void* src, size_t n) const override {
    std::lock_guard<std::mutex> lock(r_.mu);
    if (!r_.find(p, n)) return false;
    memcpy(p, src, n);
    return true;
  }

 private:
  Registry& r_;
  const Kernel* kernel_;
  int device_;
};

// Runs the whole grid before returning, so every stream is always idle. A
// launch that cannot run fails here; nvcc's launch code drops the status, so
// callers see it through cudaGetLastError.
cudaError_t launch(const Kernel* kernel, dim3 grid, dim3 block, void** args, size_t shared_mem,
                   cudaStream_t stream) {
  Registry& r = registry();
  int device = 0;
  {
    std::lock_guard<std::mutex> lock(r.mu);
    cudaError_t e = injected(r, "cudaLaunchKernel", cudaErrorLaunchFailure);
    if (e == cudaSuccess) e = current_device(r, &device);
    if (e == cudaSuccess && !known_stream(stream)) e = cudaErrorInvalidResourceHandle;
    if (e == cudaSuccess) e = check_configuration(grid, block, shared_mem);
    if (e == cudaSuccess) {
      // Below the oldest image the module has nothing to run.
      const DeviceConfig& s = r.devices[device].config;
      if (s.major * 10 + s.minor < NVSIEVE_OLDEST_ARCH) e = cudaErrorNoKernelImageForDevice;
    }
    if (e == cudaSuccess) {
      bool registered = false;
      for (const Kernel* k : r.kernels) registered |= (k == kernel && k->module->live);
      if (!registered || !kernel->cpu) e = cudaErrorInvalidDeviceFunction;
    }
    if (e != cudaSuccess) return record(e);
  }
  Launch context(r, kernel, device);
  context.grid = grid;
  context.block = block;
  context.args = args;
  return record(kernel->cpu(context));
}

cudaError_t launch_by_stub(const void* func, dim3 grid, dim3 block, void** args,
                           size_t shared_mem, cudaStream_t stream) {
  Kernel* k;
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mu);
    k = r.kernel_by_stub(func);
  }
  if (!k) return record(cudaErrorInvalidDeviceFunction);
  return launch(k, grid, block, args, shared_mem, stream);
}

void fill_properties(cudaDeviceProp* p, const DeviceConfig& s, int ordinal) {
  memset(p, 0, sizeof(*p));
  snprintf(p->name, sizeof(p->name), "%s", s.name.c_str());
  // A fixed, distinct identity per ordinal.
  memcpy(p->uuid.bytes, "nvsieve-emu-gpu", 15);
  p->uuid.bytes[15] = static_cast<char>(ordinal);
  p->totalGlobalMem = s.total_global_mem;
  p->sharedMemPerBlock = 49152;
  p->regsPerBlock = 65536;
  p->warpSize = 32;
  p->memPitch = 2147483647;
  p->maxThreadsPerBlock = 1024;
  p->maxThreadsDim[0] = 1024;
  p->maxThreadsDim[1] = 1024;
  p->maxThreadsDim[2] = 64;
  p->maxGridSize[0] = 2147483647;
  p->maxGridSize[1] = 65535;
  p->maxGridSize[2] = 65535;
  p->totalConstMem = 65536;
  p->major = s.major;
  p->minor = s.minor;
  p->textureAlignment = 512;
  p->texturePitchAlignment = 32;
  // The emulated device runs on the host's cores.
  p->multiProcessorCount = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  p->concurrentKernels = 1;
  p->pciBusID = ordinal + 1;
  p->asyncEngineCount = 2;
  p->unifiedAddressing = 1;
  p->memoryBusWidth = 256;
  p->l2CacheSize = 4 << 20;
  p->maxThreadsPerMultiProcessor = 1536;
  p->sharedMemPerMultiprocessor = 102400;
  p->regsPerMultiprocessor = 65536;
  p->maxBlocksPerMultiProcessor = 16;
  p->sharedMemPerBlockOptin = 101376;
  p->hostNumaId = -1;
}

struct ErrorText {
  cudaError_t code;
  const char* name;
  const char* text;
};

// The runtime's own texts: the codes the emulator returns, and a few more
// that a failure point may name (NVSIEVE_EMU_FAIL=cudaMemcpy=214).
const ErrorText kErrors[] = {
    {cudaSuccess, "cudaSuccess", "no error"},
    {cudaErrorInvalidValue, "cudaErrorInvalidValue", "invalid argument"},
    {cudaErrorMemoryAllocation, "cudaErrorMemoryAllocation", "out of memory"},
    {cudaErrorInitializationError, "cudaErrorInitializationError", "initialization error"},
    {cudaErrorInvalidConfiguration, "cudaErrorInvalidConfiguration",
     "invalid configuration argument"},
    {cudaErrorInvalidSymbol, "cudaErrorInvalidSymbol", "invalid device symbol"},
    {cudaErrorInvalidMemcpyDirection, "cudaErrorInvalidMemcpyDirection",
     "invalid copy direction for memcpy"},
    {cudaErrorInsufficientDriver, "cudaErrorInsufficientDriver",
     "CUDA driver version is insufficient for CUDA runtime version"},
    {cudaErrorMissingConfiguration, "cudaErrorMissingConfiguration",
     "__global__ function call is not configured"},
    {cudaErrorInvalidDeviceFunction, "cudaErrorInvalidDeviceFunction", "invalid device function"},
    {cudaErrorNoDevice, "cudaErrorNoDevice", "no CUDA-capable device is detected"},
    {cudaErrorInvalidDevice, "cudaErrorInvalidDevice", "invalid device ordinal"},
    {cudaErrorNoKernelImageForDevice, "cudaErrorNoKernelImageForDevice",
     "no kernel image is available for execution on the device"},
    {cudaErrorInvalidResourceHandle, "cudaErrorInvalidResourceHandle", "invalid resource handle"},
    {cudaErrorIllegalAddress, "cudaErrorIllegalAddress",
     "an illegal memory access was encountered"},
    {cudaErrorLaunchFailure, "cudaErrorLaunchFailure", "unspecified launch failure"},
    {cudaErrorUnknown, "cudaErrorUnknown", "unknown error"},
    {cudaErrorInvalidDevicePointer, "cudaErrorInvalidDevicePointer", "invalid device pointer"},
    {cudaErrorStubLibrary, "cudaErrorStubLibrary", "CUDA driver is a stub library"},
    {cudaErrorDevicesUnavailable, "cudaErrorDevicesUnavailable",
     "CUDA-capable device(s) is/are busy or unavailable"},
    {cudaErrorECCUncorrectable, "cudaErrorECCUncorrectable", "uncorrectable ECC error encountered"},
    {cudaErrorLaunchOutOfResources, "cudaErrorLaunchOutOfResources",
     "too many resources requested for launch"},
    {cudaErrorLaunchTimeout, "cudaErrorLaunchTimeout", "the launch timed out and was terminated"},
    {cudaErrorSetOnActiveProcess, "cudaErrorSetOnActiveProcess",
     "cannot set while device is active in this process"},
    {cudaErrorIllegalInstruction, "cudaErrorIllegalInstruction",
     "an illegal instruction was encountered"},
    {cudaErrorMisalignedAddress, "cudaErrorMisalignedAddress", "misaligned address"},
    {cudaErrorNotSupported, "cudaErrorNotSupported", "operation not supported"},
};

const ErrorText* error_entry(cudaError_t e) {
  for (const ErrorText& t : kErrors)
    if (t.code == e) return &t;
  return nullptr;
}

}  // namespace

// ---- Registration, from the static constructors of nvcc's objects ----

extern "C" void** __cudaRegisterFatBinary(void* fat_cubin) {
  (void)fat_cubin;  // the device code is never run: kernels have CPU versions
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  r.modules.push_back(new Module());
  return reinterpret_cast<void**>(r.modules.back());
}

extern "C" void __cudaRegisterFatBinaryEnd(void** handle) { (void)handle; }

extern "C" void __cudaUnregisterFatBinary(void** handle) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  if (handle) reinterpret_cast<Module*>(handle)->live = false;
}

extern "C" void __cudaRegisterFunction(void** handle, const char* host_fun, char* device_fun,
                                       const char* device_name, int thread_limit, uint3* tid,
                                       uint3* bid, dim3* block_dim, dim3* grid_dim,
                                       int* warp_size) {
  (void)device_fun, (void)thread_limit, (void)tid, (void)bid, (void)block_dim, (void)grid_dim,
      (void)warp_size;
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  r.kernels.push_back(new Kernel{reinterpret_cast<Module*>(handle), host_fun, device_name,
                                 emu_cuda::find_cpu_kernel(device_name)});
}

extern "C" void __cudaRegisterVar(void** handle, char* host_var, char* device_address,
                                  const char* device_name, int ext, size_t size, int constant,
                                  int global) {
  (void)device_address, (void)ext, (void)constant, (void)global;
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  r.variables.push_back(
      new Variable{reinterpret_cast<Module*>(handle), host_var, device_name, size});
}

// ---- Launch, as the code for <<< >>> does it ----

extern "C" unsigned __cudaPushCallConfiguration(dim3 grid_dim, dim3 block_dim, size_t shared_mem,
                                                struct CUstream_st* stream) {
  ThreadState& t = t_thread;
  if (t.pending == int(sizeof(t.configs) / sizeof(t.configs[0]))) return 1;  // launch skipped
  t.configs[t.pending++] = CallConfig{grid_dim, block_dim, shared_mem, stream};
  return 0;
}

extern "C" cudaError_t __cudaPopCallConfiguration(dim3* grid_dim, dim3* block_dim,
                                                  size_t* shared_mem, void* stream) {
  ThreadState& t = t_thread;
  if (t.pending == 0) return cudaErrorMissingConfiguration;
  const CallConfig& c = t.configs[--t.pending];
  *grid_dim = c.grid;
  *block_dim = c.block;
  *shared_mem = c.shared_mem;
  *static_cast<cudaStream_t*>(stream) = c.stream;
  return cudaSuccess;
}

extern "C" cudaError_t __cudaGetKernel(cudaKernel_t* kernel, const void* host_fun) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  Kernel* k = r.kernel_by_stub(host_fun);
  *kernel = reinterpret_cast<cudaKernel_t>(k);
  return k ? cudaSuccess : cudaErrorInvalidDeviceFunction;
}

extern "C" cudaError_t __cudaLaunchKernel(cudaKernel_t kernel, dim3 grid_dim, dim3 block_dim,
                                          void** args, size_t shared_mem, cudaStream_t stream) {
  return launch(reinterpret_cast<const Kernel*>(kernel), grid_dim, block_dim, args, shared_mem,
                stream);
}

extern "C" cudaError_t __cudaLaunchKernel_ptsz(cudaKernel_t kernel, dim3 grid_dim, dim3 block_dim,
                                               void** args, size_t shared_mem,
                                               cudaStream_t stream) {
  return __cudaLaunchKernel(kernel, grid_dim, block_dim, args, shared_mem, stream);
}

extern "C" cudaError_t cudaLaunchKernel(const void* func, dim3 grid_dim, dim3 block_dim,
                                        void** args, size_t shared_mem, cudaStream_t stream) {
  return launch_by_stub(func, grid_dim, block_dim, args, shared_mem, stream);
}

extern "C" cudaError_t cudaLaunchKernel_ptsz(const void* func, dim3 grid_dim, dim3 block_dim,
                                             void** args, size_t shared_mem, cudaStream_t stream) {
  return launch_by_stub(func, grid_dim, block_dim, args, shared_mem, stream);
}

// ---- Errors ----

extern "C" cudaError_t cudaGetLastError(void) {
  const cudaError_t e = t_thread.last_error;
  t_thread.last_error = cudaSuccess;
  return e;
}

extern "C" cudaError_t cudaPeekAtLastError(void) { return t_thread.last_error; }

extern "C" const char* cudaGetErrorString(cudaError_t error) {
  const ErrorText* t = error_entry(error);
  return t ? t->text : "unrecognized error code";
}

extern "C" const char* cudaGetErrorName(cudaError_t error) {
  const ErrorText* t = error_entry(error);
  return t ? t->name : "unrecognized error code";
}

// ---- Devices ----

extern "C" cudaError_t cudaGetDeviceCount(int* count) {
  return api_call("cudaGetDeviceCount", cudaErrorInvalidValue, [&](Registry& r) {
    if (!count) return cudaErrorInvalidValue;
    *count = static_cast<int>(r.devices.size());
    return r.devices.empty() ? cudaErrorNoDevice : cudaSuccess;
  });
}

extern "C" cudaError_t cudaGetDevice(int* device) {
  return api_call("cudaGetDevice", cudaErrorInvalidValue, [&](Registry& r) {
    if (!device) return cudaErrorInvalidValue;
    return current_device(r, device);
  });
}

extern "C" cudaError_t cudaSetDevice(int device) {
  return api_call("cudaSetDevice", cudaErrorInvalidValue, [&](Registry& r) {
    if (r.devices.empty()) return cudaErrorNoDevice;
    if (device < 0 || size_t(device) >= r.devices.size()) return cudaErrorInvalidDevice;
    t_thread.device = device;
    return cudaSuccess;
  });
}

extern "C" cudaError_t cudaGetDeviceProperties(cudaDeviceProp* prop, int device) {
  return api_call("cudaGetDeviceProperties", cudaErrorInvalidValue, [&](Registry& r) {
    if (!prop) return cudaErrorInvalidValue;
    if (r.devices.empty()) return cudaErrorNoDevice;
    if (device < 0 || size_t(device) >= r.devices.size()) return cudaErrorInvalidDevice;
    fill_properties(prop, r.devices[device].config, device);
    return cudaSuccess;
  });
}

// The real runtime may refuse new flags once the device is active in the
// process; accepting them always is enough here.
extern "C" cudaError_t cudaSetDeviceFlags(unsigned int flags) {
  return api_call("cudaSetDeviceFlags", cudaErrorInvalidValue, [&](Registry& r) {
    const unsigned schedule = flags & cudaDeviceScheduleMask;
    if ((flags & ~0xffu) || schedule == 3 || schedule > cudaDeviceScheduleBlockingSync)
      return cudaErrorInvalidValue;
    int d;
    if (cudaError_t e = current_device(r, &d)) return e;
    r.devices[d].flags = flags;
    return cudaSuccess;
  });
}

extern "C" cudaError_t cudaGetDeviceFlags(unsigned int* flags) {
  return api_call("cudaGetDeviceFlags", cudaErrorInvalidValue, [&](Registry& r) {
    if (!flags) return cudaErrorInvalidValue;
    int d;
    if (cudaError_t e = current_device(r, &d)) return e;
    *flags = r.devices[d].flags;
    return cudaSuccess;
  });
}

// Releases the current device's memory and zeroes its variables; the flags
// and the kernel handles stay.
extern "C" cudaError_t cudaDeviceReset(void) {
  return api_call("cudaDeviceReset", cudaErrorInvalidValue, [&](Registry& r) {
    int d;
    if (cudaError_t e = current_device(r, &d)) return e;
    r.reset_device(d);
    return cudaSuccess;
  });
}

extern "C" cudaError_t cudaDeviceSynchronize(void) {
  return api_call("cudaDeviceSynchronize", cudaErrorInvalidValue, [&](Registry& r) {
    int d;
    return current_device(r, &d);
  });
}

extern "C" cudaError_t cudaDriverGetVersion(int* version) {
  return api_call("cudaDriverGetVersion", cudaErrorInvalidValue, [&](Registry&) {
    if (!version) return cudaErrorInvalidValue;
    *version = CUDART_VERSION;
    return cudaSuccess;
  });
}

extern "C" cudaError_t cudaRuntimeGetVersion(int* version) {
  return api_call("cudaRuntimeGetVersion", cudaErrorInvalidValue, [&](Registry&) {
    if (!version) return cudaErrorInvalidValue;
    *version = CUDART_VERSION;
    return cudaSuccess;
  });
}

// ---- Memory ----

extern "C" cudaError_t cudaMalloc(void** dev_ptr, size_t size) {
  return api_call("cudaMalloc", cudaErrorMemoryAllocation, [&](Registry& r) {
    if (!dev_ptr) return cudaErrorInvalidValue;
    int d;
    if (cudaError_t e = current_device(r, &d)) return e;
    if (size == 0) {
      *dev_ptr = nullptr;
      return cudaSuccess;
    }
    Device& dev = r.devices[d];
    if (size > dev.config.total_global_mem - dev.allocated) return cudaErrorMemoryAllocation;
    const size_t rounded = (size + 255) & ~size_t(255);  // the runtime's 256-byte alignment
    if (rounded < size) return cudaErrorMemoryAllocation;
    void* p = aligned_alloc(256, rounded);
    if (!p) return cudaErrorMemoryAllocation;
    // Fresh device memory is not zeroed: a pattern shows a read before a write.
    memset(p, 0xA5, rounded < (1u << 20) ? rounded : (1u << 20));
    r.allocations[reinterpret_cast<uintptr_t>(p)] = Allocation{size, d};
    dev.allocated += size;
    *dev_ptr = p;
    return cudaSuccess;
  });
}

extern "C" cudaError_t cudaFree(void* dev_ptr) {
  return api_call("cudaFree", cudaErrorInvalidValue, [&](Registry& r) {
    if (!dev_ptr) return cudaSuccess;
    auto it = r.allocations.find(reinterpret_cast<uintptr_t>(dev_ptr));
    if (it == r.allocations.end()) return cudaErrorInvalidValue;
    r.devices[it->second.device].allocated -= it->second.size;
    free(dev_ptr);
    r.allocations.erase(it);
    return cudaSuccess;
  });
}

extern "C" cudaError_t cudaMemGetInfo(size_t* free_bytes, size_t* total_bytes) {
  return api_call("cudaMemGetInfo", cudaErrorInvalidValue, [&](Registry& r) {
    if (!free_bytes || !total_bytes) return cudaErrorInvalidValue;
    int d;
    if (cudaError_t e = current_device(r, &d)) return e;
    *total_bytes = r.devices[d].config.total_global_mem;
    *free_bytes = *total_bytes - r.devices[d].allocated;
    return cudaSuccess;
  });
}

extern "C" cudaError_t cudaMemcpy(void* dst, const void* src, size_t count, cudaMemcpyKind kind) {
  return api_call("cudaMemcpy", cudaErrorInvalidValue,
                  [&](Registry& r) { return copy(r, dst, src, count, kind); });
}

extern "C" cudaError_t cudaMemcpy_ptds(void* dst, const void* src, size_t count,
                                       cudaMemcpyKind kind) {
  return cudaMemcpy(dst, src, count, kind);
}

extern "C" cudaError_t cudaMemset(void* dev_ptr, int value, size_t count) {
  return api_call("cudaMemset", cudaErrorInvalidValue,
                  [&](Registry& r) { return memset_device(r, dev_ptr, value, count); });
}

extern "C" cudaError_t cudaMemset_ptds(void* dev_ptr, int value, size_t count) {
  return cudaMemset(dev_ptr, value, count);
}

extern "C" cudaError_t cudaMemcpyToSymbol(const void* symbol, const void* src, size_t count,
                                          size_t offset, cudaMemcpyKind kind) {
  return api_call("cudaMemcpyToSymbol", cudaErrorInvalidValue, [&](Registry& r) {
    return copy_symbol(r, symbol, offset, count, const_cast<void*>(src), true, kind);
  });
}

extern "C" cudaError_t cudaMemcpyToSymbol_ptds(const void* symbol, const void* src, size_t count,
                                               size_t offset, cudaMemcpyKind kind) {
  return cudaMemcpyToSymbol(symbol, src, count, offset, kind);
}

extern "C" cudaError_t cudaMemcpyFromSymbol(void* dst, const void* symbol, size_t count,
                                            size_t offset, cudaMemcpyKind kind) {
  return api_call("cudaMemcpyFromSymbol", cudaErrorInvalidValue, [&](Registry& r) {
    return copy_symbol(r, symbol, offset, count, dst, false, kind);
  });
}

extern "C" cudaError_t cudaMemcpyFromSymbol_ptds(void* dst, const void* symbol, size_t count,
                                                 size_t offset, cudaMemcpyKind kind) {
  return cudaMemcpyFromSymbol(dst, symbol, count, offset, kind);
}

// ---- Streams: launches finish before they return, so waiting is only checking ----

extern "C" cudaError_t cudaStreamSynchronize(cudaStream_t stream) {
  return api_call("cudaStreamSynchronize", cudaErrorInvalidValue, [&](Registry& r) {
    int d;
    if (cudaError_t e = current_device(r, &d)) return e;
    return known_stream(stream) ? cudaSuccess : cudaErrorInvalidResourceHandle;
  });
}

extern "C" cudaError_t cudaStreamSynchronize_ptsz(cudaStream_t stream) {
  return cudaStreamSynchronize(stream);
}

// ---- Hooks for the emulator's own tests ----

namespace emu_cuda {

bool configure(const char* devices_json, const char* failures, std::string* error) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  std::vector<DeviceConfig> configs;
  std::vector<FailurePoint> points;
  if (!parse_devices(devices_json, &configs, error) || !parse_failures(failures, &points, error))
    return false;
  r.load_devices(devices_json, error);
  r.load_failures(failures, error);
  r.config_failed = false;
  t_thread.device = 0;
  t_thread.last_error = cudaSuccess;
  return true;
}

std::vector<std::string> registered_kernels() {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  std::vector<std::string> names;
  for (const Kernel* k : r.kernels)
    if (k->module->live) names.push_back(k->name);
  return names;
}

size_t registered_variable_size(const char* name) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  for (const Variable* v : r.variables)
    if (v->module->live && v->name == name) return v->size;
  return 0;
}

size_t allocated_bytes(int device) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  if (device < 0 || size_t(device) >= r.devices.size()) return 0;
  return r.devices[device].allocated;
}

}  // namespace emu_cuda
