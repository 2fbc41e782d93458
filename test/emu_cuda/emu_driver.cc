// An emulated CUDA driver: the libcuda.so.1 entry points nvsieve opens,
// backed by host memory. It is built as a shared library named libcuda.so.1,
// which the shipped nvsieve.node opens in place of NVIDIA's (NVSIEVE_LIBCUDA
// names it, or the loader finds it first on LD_LIBRARY_PATH).
//
// It loads what it is handed as a driver of the configured version would:
// a fatbin's SASS for the device's generation (made by a toolkit no newer
// than the driver, when NVSIEVE_EMU_NEWER_CUBINS=refuse), else its PTX when
// the driver knows the PTX's ISA and the PTX's target is no newer than the
// device; PTX text the same way. PTX runs through the interpreter (emu_ptx);
// SASS, which it cannot run, runs the host build of the same kernel
// (emu_kernels), and cuFuncGetAttribute tells which one was loaded.
#include <cuda.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "emu_config.h"
#include "emu_cuda.h"
#include "emu_kernels.h"
#include "emu_ptx.h"

#define EMU_API extern "C" __attribute__((visibility("default")))

using emu_cuda::DeviceConfig;
using emu_cuda::FailurePoint;

struct CUctx_st {
  int device = 0;
  unsigned flags = 0;
  CUresult sticky = CUDA_SUCCESS;  // a kernel fault spoils the context until it is reset
};

struct CUfunc_st;

struct CUmod_st {
  int device = 0;
  bool live = true;
  bool ptx = false;
  int binary_arch = 0;  // the SASS's, or the device's for JIT-compiled PTX
  int ptx_arch = 0;     // the PTX's .target (or the SASS's arch)
  std::unique_ptr<emu_ptx::Program> program;  // the PTX, when it runs PTX
  std::map<std::string, std::pair<CUdeviceptr, size_t>> globals;
  std::vector<CUfunc_st*> functions;
};

struct CUfunc_st {
  CUmod_st* module;
  std::string name;
  emu_cuda::CpuKernel cpu;
  const emu_ptx::Kernel* ptx;
};

namespace {

struct Allocation {
  size_t size;
  int device;
};

struct FailureCounter {
  std::string function;
  uint64_t calls = 0;
  std::map<uint64_t, int> fail_at;
};

// Everything shared between threads, behind one mutex; never destroyed, since
// pool threads may still call in while the process exits.
struct Registry {
  std::mutex mu;
  bool initialized = false;
  bool config_failed = false;
  int driver_version = 13000;
  bool refuse_newer_cubins = false;
  bool per_thread_stream_only = false;  // NVSIEVE_EMU_STREAM=per-thread
  std::vector<DeviceConfig> devices;
  std::vector<CUctx_st*> contexts;  // each device's primary context
  std::vector<CUmod_st*> modules;
  std::map<uintptr_t, Allocation> allocations;
  std::vector<FailureCounter> failures;

  Registry() {
    std::string error;
    if (!configure(getenv("NVSIEVE_EMU_DEVICES"), getenv("NVSIEVE_EMU_FAIL"),
                   getenv("NVSIEVE_EMU_DRIVER"), &error)) {
      fprintf(stderr, "emulated libcuda: %s\n", error.c_str());
      config_failed = true;
    }
    const char* cubins = getenv("NVSIEVE_EMU_NEWER_CUBINS");
    refuse_newer_cubins = cubins && strcmp(cubins, "refuse") == 0;
    const char* stream = getenv("NVSIEVE_EMU_STREAM");
    per_thread_stream_only = stream && strcmp(stream, "per-thread") == 0;
  }

  bool configure(const char* json, const char* fail, const char* driver, std::string* error) {
    std::vector<DeviceConfig> configs;
    std::vector<FailurePoint> points;
    int version = 0;
    if (!emu_cuda::parse_devices(json, &configs, error)) {
      *error = "NVSIEVE_EMU_DEVICES: " + *error;
      return false;
    }
    if (!emu_cuda::parse_failures(fail, &points, error)) {
      *error = "NVSIEVE_EMU_FAIL: " + *error;
      return false;
    }
    if (!emu_cuda::parse_driver(driver, &version, error)) {
      *error = "NVSIEVE_EMU_DRIVER: " + *error;
      return false;
    }
    for (size_t d = 0; d < devices.size(); ++d) reset_device(int(d));
    devices = configs;
    driver_version = version;
    while (contexts.size() < devices.size()) contexts.push_back(new CUctx_st());
    for (size_t d = 0; d < contexts.size(); ++d) {
      contexts[d]->device = int(d);
      contexts[d]->flags = 0;
      contexts[d]->sticky = CUDA_SUCCESS;
    }
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

  void reset_device(int d) {
    for (auto it = allocations.begin(); it != allocations.end();) {
      if (it->second.device == d) {
        free(reinterpret_cast<void*>(it->first));
        it = allocations.erase(it);
      } else {
        ++it;
      }
    }
    for (CUmod_st* m : modules)
      if (m->device == d) m->live = false;
    if (size_t(d) < contexts.size()) contexts[d]->sticky = CUDA_SUCCESS;
  }

  size_t allocated(int d) const {
    size_t n = 0;
    for (const auto& a : allocations)
      if (a.second.device == d) n += a.second.size;
    return n;
  }

  CUresult allocate(int d, size_t size, CUdeviceptr* out) {
    if (size > devices[d].total_global_mem - allocated(d)) return CUDA_ERROR_OUT_OF_MEMORY;
    const size_t rounded = (size + 255) & ~size_t(255);  // the driver's 256-byte alignment
    if (rounded < size) return CUDA_ERROR_OUT_OF_MEMORY;
    void* p = aligned_alloc(256, rounded);
    if (!p) return CUDA_ERROR_OUT_OF_MEMORY;
    // Fresh device memory is not zeroed: a pattern shows a read before a write.
    memset(p, 0xA5, rounded < (1u << 20) ? rounded : (1u << 20));
    allocations[reinterpret_cast<uintptr_t>(p)] = Allocation{size, d};
    *out = CUdeviceptr(reinterpret_cast<uintptr_t>(p));
    return CUDA_SUCCESS;
  }

  // The allocation on device d holding all of [p, p + n), or null.
  const Allocation* find(CUdeviceptr p, size_t n, int d) const {
    const uintptr_t a = uintptr_t(p);
    auto it = allocations.upper_bound(a);
    if (it == allocations.begin()) return nullptr;
    --it;
    const uintptr_t offset = a - it->first;
    if (offset > it->second.size || n > it->second.size - offset) return nullptr;
    return it->second.device == d ? &it->second : nullptr;
  }
};

Registry& registry() {
  static Registry* r = new Registry();
  return *r;
}

thread_local CUctx_st* t_context = nullptr;

// Counts the call and returns the failure injected for it, if any (mu held).
CUresult injected(Registry& r, const char* function, CUresult usual) {
  if (r.config_failed) return CUDA_ERROR_NOT_INITIALIZED;
  for (FailureCounter& f : r.failures) {
    if (f.function != function) continue;
    auto it = f.fail_at.find(++f.calls);
    if (it != f.fail_at.end()) return it->second ? CUresult(it->second) : usual;
  }
  return CUDA_SUCCESS;
}

// The shape of every entry point: count it, maybe fail it, refuse it before
// cuInit, run it under the lock.
template <typename Body>
CUresult api_call(const char* function, CUresult usual, Body body) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  CUresult e = injected(r, function, usual);
  if (e == CUDA_SUCCESS && !r.initialized && strcmp(function, "cuInit") != 0 &&
      strcmp(function, "cuDriverGetVersion") != 0)
    e = CUDA_ERROR_NOT_INITIALIZED;
  return e == CUDA_SUCCESS ? body(r) : e;
}

// The calling thread's context, with the error a kernel fault left in it.
CUresult current(const Registry& r, CUctx_st** ctx) {
  if (!t_context || size_t(t_context->device) >= r.devices.size()) return CUDA_ERROR_INVALID_CONTEXT;
  if (t_context->sticky != CUDA_SUCCESS) return t_context->sticky;
  *ctx = t_context;
  return CUDA_SUCCESS;
}

CUresult device_of(const Registry& r, CUdevice dev) {
  if (r.devices.empty()) return CUDA_ERROR_NO_DEVICE;
  return dev >= 0 && size_t(dev) < r.devices.size() ? CUDA_SUCCESS : CUDA_ERROR_INVALID_DEVICE;
}

// No stream is ever created, so only the default ones exist; with
// NVSIEVE_EMU_STREAM=per-thread the legacy one is refused, which shows a
// caller whose work would serialise with every other thread's.
bool known_stream(const Registry& r, CUstream s) {
  if (s == CU_STREAM_PER_THREAD) return true;
  return !r.per_thread_stream_only && (s == nullptr || s == CU_STREAM_LEGACY);
}

struct ErrorText {
  CUresult code;
  const char* text;
};

// The driver's own texts for the codes the emulator returns, and a few more
// that a failure point may name (NVSIEVE_EMU_FAIL=cuInit=999).
const ErrorText kErrors[] = {
    {CUDA_SUCCESS, "no error"},
    {CUDA_ERROR_INVALID_VALUE, "invalid argument"},
    {CUDA_ERROR_OUT_OF_MEMORY, "out of memory"},
    {CUDA_ERROR_NOT_INITIALIZED, "initialization error"},
    {CUDA_ERROR_DEINITIALIZED, "driver shutting down"},
    {CUDA_ERROR_STUB_LIBRARY, "CUDA driver is a stub library"},
    {CUDA_ERROR_NO_DEVICE, "no CUDA-capable device is detected"},
    {CUDA_ERROR_INVALID_DEVICE, "invalid device ordinal"},
    {CUDA_ERROR_INVALID_IMAGE, "device kernel image is invalid"},
    {CUDA_ERROR_INVALID_CONTEXT, "invalid device context"},
    {CUDA_ERROR_NO_BINARY_FOR_GPU, "no kernel image is available for execution on the device"},
    {CUDA_ERROR_INVALID_PTX, "a PTX JIT compilation failed"},
    {CUDA_ERROR_JIT_COMPILER_NOT_FOUND, "PTX JIT compiler library not found"},
    {CUDA_ERROR_UNSUPPORTED_PTX_VERSION,
     "the provided PTX was compiled with an unsupported toolchain."},
    {CUDA_ERROR_INVALID_HANDLE, "invalid resource handle"},
    {CUDA_ERROR_NOT_FOUND, "named symbol not found"},
    {CUDA_ERROR_OPERATING_SYSTEM, "OS call failed or operation not supported on this OS"},
    {CUDA_ERROR_ILLEGAL_ADDRESS, "an illegal memory access was encountered"},
    {CUDA_ERROR_LAUNCH_OUT_OF_RESOURCES, "too many resources requested for launch"},
    {CUDA_ERROR_PRIMARY_CONTEXT_ACTIVE, "primary context active"},
    {CUDA_ERROR_LAUNCH_FAILED, "unspecified launch failure"},
    {CUDA_ERROR_NOT_SUPPORTED, "operation not supported"},
    {CUDA_ERROR_SYSTEM_DRIVER_MISMATCH,
     "system has unsupported display driver / cuda driver combination"},
    {CUDA_ERROR_UNKNOWN, "unknown error"},
};

// ---- Images ----

const uint32_t kFatbinMagic = 0xBA55ED50;

// The two kernels and the constant block of nvsieve's device code, which a
// SASS module holds (the emulator reads no machine code).
const char* const kSassKernels[] = {"_Z12blake2s_hashmPm", "_Z21blake2s_hash_balancedmPmj"};

struct Candidate {
  bool ptx;
  int arch;
  std::string text;  // the PTX
};

// A fatbin as nvcc writes it: a 16-byte header (magic, version, header size,
// payload size) and entries, each with a header of its own (kind 1 PTX or 2
// ELF at 0, header size at 4, payload size at 8, architecture at 28).
bool read_fatbin(const uint8_t* image, std::vector<Candidate>* out) {
  uint16_t header_size;
  uint64_t total;
  memcpy(&header_size, image + 6, 2);
  memcpy(&total, image + 8, 8);
  if (total > (1u << 30)) return false;
  for (uint64_t off = header_size; off + 32 <= header_size + total;) {
    const uint8_t* e = image + off;
    uint16_t kind;
    uint32_t entry_header, arch;
    uint64_t size;
    memcpy(&kind, e, 2);
    memcpy(&entry_header, e + 4, 4);
    memcpy(&size, e + 8, 8);
    memcpy(&arch, e + 28, 4);
    if (entry_header < 32 || size > total) return false;
    Candidate c{kind == 1, int(arch), ""};
    if (c.ptx) {
      const char* text = reinterpret_cast<const char*>(e + entry_header);
      c.text.assign(text, strnlen(text, size_t(size)));
    }
    if (kind == 1 || kind == 2) out->push_back(c);
    off += entry_header + size;
  }
  return true;
}

int device_arch(const DeviceConfig& d) { return d.major * 10 + d.minor; }

// A PTX text as the driver's JIT takes it: an ISA the driver knows, a
// target no newer than the device.
CUresult take_ptx(const Registry& r, const DeviceConfig& d, const std::string& text, CUmod_st* m) {
  std::string error;
  std::unique_ptr<emu_ptx::Program> program = emu_ptx::parse(text, &error);
  if (!program) return CUDA_ERROR_INVALID_PTX;
  const int needs = emu_cuda::ptx_isa_driver(program->version_major, program->version_minor);
  if (needs == 0 || needs > r.driver_version) return CUDA_ERROR_UNSUPPORTED_PTX_VERSION;
  if (program->target > device_arch(d)) return CUDA_ERROR_NO_BINARY_FOR_GPU;
  m->ptx = true;
  m->ptx_arch = program->target;
  m->binary_arch = device_arch(d);
  m->program = std::move(program);
  return CUDA_SUCCESS;
}

CUresult take_image(const Registry& r, const DeviceConfig& d, const void* image, CUmod_st* m) {
  const uint8_t* bytes = static_cast<const uint8_t*>(image);
  uint32_t magic;
  memcpy(&magic, bytes, 4);
  if (magic != kFatbinMagic) {
    const char* text = static_cast<const char*>(image);
    return strstr(text, ".version") ? take_ptx(r, d, text, m) : CUDA_ERROR_INVALID_IMAGE;
  }
  std::vector<Candidate> entries;
  if (!read_fatbin(bytes, &entries)) return CUDA_ERROR_INVALID_IMAGE;
  // SASS runs on its own major generation, from its minor up.
  const bool cubins_usable = !(r.refuse_newer_cubins && CUDA_VERSION > r.driver_version);
  int best = -1;
  for (const Candidate& c : entries)
    if (!c.ptx && cubins_usable && c.arch / 10 == d.major && c.arch <= device_arch(d) &&
        c.arch > best)
      best = c.arch;
  if (best >= 0) {
    m->binary_arch = m->ptx_arch = best;
    return CUDA_SUCCESS;
  }
  CUresult last = CUDA_ERROR_NO_BINARY_FOR_GPU;
  for (const Candidate& c : entries) {
    if (!c.ptx) continue;
    const CUresult e = take_ptx(r, d, c.text, m);
    if (e == CUDA_SUCCESS) return e;
    if (e == CUDA_ERROR_UNSUPPORTED_PTX_VERSION) last = e;
  }
  return last;
}

// ---- Launches ----

class SassLaunch : public emu_cuda::LaunchContext {
 public:
  SassLaunch(Registry& r, const CUmod_st* m) : r_(r), m_(m) {}
  bool read_variable(const char* name, void* out, size_t size) const override {
    auto it = m_->globals.find(name);
    if (it == m_->globals.end() || it->second.second != size) return false;
    memcpy(out, reinterpret_cast<const void*>(uintptr_t(it->second.first)), size);
    return true;
  }
  bool is_device_range(CUdeviceptr p, size_t n) const override {
    return r_.find(p, n, m_->device) != nullptr;
  }
  bool store(CUdeviceptr p, const void* src, size_t n) const override {
    if (!is_device_range(p, n)) return false;
    memcpy(reinterpret_cast<void*>(uintptr_t(p)), src, n);
    return true;
  }

 private:
  Registry& r_;
  const CUmod_st* m_;
};

class PtxMemory : public emu_ptx::Memory {
 public:
  PtxMemory(Registry& r, const CUmod_st* m) : r_(r), m_(m) {}
  const uint8_t* constant(const std::string& name) const override {
    auto it = m_->globals.find(name);
    return it == m_->globals.end() ? nullptr
                                   : reinterpret_cast<const uint8_t*>(uintptr_t(it->second.first));
  }
  bool store_global(uint64_t address, const void* src, size_t n) override {
    if (!r_.find(CUdeviceptr(address), n, m_->device)) return false;
    memcpy(reinterpret_cast<void*>(uintptr_t(address)), src, n);
    return true;
  }

 private:
  Registry& r_;
  const CUmod_st* m_;
};

}  // namespace

// ---- Initialisation, version, errors ----

EMU_API CUresult cuInit(unsigned int flags) {
  return api_call("cuInit", CUDA_ERROR_NOT_INITIALIZED, [&](Registry& r) {
    if (flags != 0) return CUDA_ERROR_INVALID_VALUE;
    r.initialized = true;
    return r.devices.empty() ? CUDA_ERROR_NO_DEVICE : CUDA_SUCCESS;
  });
}

EMU_API CUresult cuDriverGetVersion(int* version) {
  return api_call("cuDriverGetVersion", CUDA_ERROR_INVALID_VALUE, [&](Registry& r) {
    if (!version) return CUDA_ERROR_INVALID_VALUE;
    *version = r.driver_version;
    return CUDA_SUCCESS;
  });
}

EMU_API CUresult cuGetErrorString(CUresult error, const char** text) {
  if (!text) return CUDA_ERROR_INVALID_VALUE;
  for (const ErrorText& t : kErrors) {
    if (t.code == error) {
      *text = t.text;
      return CUDA_SUCCESS;
    }
  }
  *text = nullptr;
  return CUDA_ERROR_INVALID_VALUE;
}

// ---- Devices ----

EMU_API CUresult cuDeviceGetCount(int* count) {
  return api_call("cuDeviceGetCount", CUDA_ERROR_INVALID_VALUE, [&](Registry& r) {
    if (!count) return CUDA_ERROR_INVALID_VALUE;
    *count = int(r.devices.size());
    return CUDA_SUCCESS;
  });
}

EMU_API CUresult cuDeviceGet(CUdevice* device, int ordinal) {
  return api_call("cuDeviceGet", CUDA_ERROR_INVALID_DEVICE, [&](Registry& r) {
    if (!device) return CUDA_ERROR_INVALID_VALUE;
    if (CUresult e = device_of(r, ordinal)) return e;
    *device = ordinal;
    return CUDA_SUCCESS;
  });
}

EMU_API CUresult cuDeviceGetName(char* name, int len, CUdevice dev) {
  return api_call("cuDeviceGetName", CUDA_ERROR_INVALID_VALUE, [&](Registry& r) {
    if (!name || len <= 0) return CUDA_ERROR_INVALID_VALUE;
    if (CUresult e = device_of(r, dev)) return e;
    const std::string& n = r.devices[dev].name;
    const size_t kept = n.size() < size_t(len - 1) ? n.size() : size_t(len - 1);
    memcpy(name, n.data(), kept);
    name[kept] = '\0';
    return CUDA_SUCCESS;
  });
}

EMU_API CUresult cuDeviceGetAttribute(int* value, CUdevice_attribute attribute, CUdevice dev) {
  return api_call("cuDeviceGetAttribute", CUDA_ERROR_INVALID_VALUE, [&](Registry& r) {
    if (!value) return CUDA_ERROR_INVALID_VALUE;
    if (CUresult e = device_of(r, dev)) return e;
    switch (attribute) {
      case CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MAJOR: *value = r.devices[dev].major; break;
      case CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MINOR: *value = r.devices[dev].minor; break;
      case CU_DEVICE_ATTRIBUTE_MAX_THREADS_PER_BLOCK: *value = 1024; break;
      case CU_DEVICE_ATTRIBUTE_MULTIPROCESSOR_COUNT: *value = 1; break;
      default: return CUDA_ERROR_INVALID_VALUE;
    }
    return CUDA_SUCCESS;
  });
}

EMU_API CUresult cuDeviceTotalMem_v2(size_t* bytes, CUdevice dev) {
  return api_call("cuDeviceTotalMem", CUDA_ERROR_INVALID_VALUE, [&](Registry& r) {
    if (!bytes) return CUDA_ERROR_INVALID_VALUE;
    if (CUresult e = device_of(r, dev)) return e;
    *bytes = size_t(r.devices[dev].total_global_mem);
    return CUDA_SUCCESS;
  });
}

// ---- Primary contexts ----

EMU_API CUresult cuDevicePrimaryCtxRetain(CUcontext* ctx, CUdevice dev) {
  return api_call("cuDevicePrimaryCtxRetain", CUDA_ERROR_OUT_OF_MEMORY, [&](Registry& r) {
    if (!ctx) return CUDA_ERROR_INVALID_VALUE;
    if (CUresult e = device_of(r, dev)) return e;
    *ctx = r.contexts[dev];
    return CUDA_SUCCESS;
  });
}

// Drivers since CUDA 11 take new flags on an active primary context too.
EMU_API CUresult cuDevicePrimaryCtxSetFlags_v2(CUdevice dev, unsigned int flags) {
  return api_call("cuDevicePrimaryCtxSetFlags", CUDA_ERROR_INVALID_VALUE, [&](Registry& r) {
    if (CUresult e = device_of(r, dev)) return e;
    const unsigned schedule = flags & CU_CTX_SCHED_MASK;
    if ((flags & ~0xffu) || schedule == 3 || schedule > CU_CTX_SCHED_BLOCKING_SYNC)
      return CUDA_ERROR_INVALID_VALUE;
    r.contexts[dev]->flags = flags;
    return CUDA_SUCCESS;
  });
}

// Frees the device's memory and unloads its modules; the context's flags stay.
EMU_API CUresult cuDevicePrimaryCtxReset_v2(CUdevice dev) {
  return api_call("cuDevicePrimaryCtxReset", CUDA_ERROR_INVALID_VALUE, [&](Registry& r) {
    if (CUresult e = device_of(r, dev)) return e;
    r.reset_device(dev);
    return CUDA_SUCCESS;
  });
}

EMU_API CUresult cuCtxSetCurrent(CUcontext ctx) {
  return api_call("cuCtxSetCurrent", CUDA_ERROR_INVALID_CONTEXT, [&](Registry& r) {
    if (ctx) {
      bool known = false;
      for (size_t d = 0; d < r.devices.size(); ++d) known = known || r.contexts[d] == ctx;
      if (!known) return CUDA_ERROR_INVALID_CONTEXT;
    }
    t_context = ctx;
    return CUDA_SUCCESS;
  });
}

// ---- Modules ----

EMU_API CUresult cuModuleLoadData(CUmodule* module, const void* image) {
  return api_call("cuModuleLoadData", CUDA_ERROR_INVALID_IMAGE, [&](Registry& r) {
    if (!module || !image) return CUDA_ERROR_INVALID_VALUE;
    CUctx_st* ctx;
    if (CUresult e = current(r, &ctx)) return e;
    std::unique_ptr<CUmod_st> m(new CUmod_st());
    m->device = ctx->device;
    if (CUresult e = take_image(r, r.devices[ctx->device], image, m.get())) return e;
    std::map<std::string, size_t> globals;
    if (m->ptx) {
      globals = m->program->constants;
      for (const emu_ptx::Kernel& k : m->program->kernels)
        m->functions.push_back(new CUfunc_st{m.get(), k.name, nullptr, &k});
    } else {
      globals["d_data"] = 416;
      for (const char* name : kSassKernels)
        m->functions.push_back(
            new CUfunc_st{m.get(), name, emu_cuda::find_cpu_kernel(name), nullptr});
    }
    for (const auto& g : globals) {
      CUdeviceptr p;
      if (CUresult e = r.allocate(ctx->device, g.second, &p)) return e;
      memset(reinterpret_cast<void*>(uintptr_t(p)), 0, g.second);  // globals start zeroed
      m->globals[g.first] = {p, g.second};
    }
    r.modules.push_back(m.get());
    *module = m.release();
    return CUDA_SUCCESS;
  });
}

EMU_API CUresult cuModuleGetFunction(CUfunction* function, CUmodule module, const char* name) {
  return api_call("cuModuleGetFunction", CUDA_ERROR_NOT_FOUND, [&](Registry&) {
    if (!function || !name) return CUDA_ERROR_INVALID_VALUE;
    if (!module || !module->live) return CUDA_ERROR_INVALID_HANDLE;
    for (CUfunc_st* f : module->functions) {
      if (f->name == name) {
        *function = f;
        return CUDA_SUCCESS;
      }
    }
    return CUDA_ERROR_NOT_FOUND;
  });
}

EMU_API CUresult cuModuleGetGlobal_v2(CUdeviceptr* address, size_t* bytes, CUmodule module,
                                      const char* name) {
  return api_call("cuModuleGetGlobal", CUDA_ERROR_NOT_FOUND, [&](Registry&) {
    if (!name) return CUDA_ERROR_INVALID_VALUE;
    if (!module || !module->live) return CUDA_ERROR_INVALID_HANDLE;
    auto it = module->globals.find(name);
    if (it == module->globals.end()) return CUDA_ERROR_NOT_FOUND;
    if (address) *address = it->second.first;
    if (bytes) *bytes = it->second.second;
    return CUDA_SUCCESS;
  });
}

EMU_API CUresult cuFuncGetAttribute(int* value, CUfunction_attribute attribute, CUfunction f) {
  return api_call("cuFuncGetAttribute", CUDA_ERROR_INVALID_VALUE, [&](Registry&) {
    if (!value) return CUDA_ERROR_INVALID_VALUE;
    if (!f || !f->module->live) return CUDA_ERROR_INVALID_HANDLE;
    switch (attribute) {
      case CU_FUNC_ATTRIBUTE_BINARY_VERSION: *value = f->module->binary_arch; break;
      case CU_FUNC_ATTRIBUTE_PTX_VERSION: *value = f->module->ptx_arch; break;
      case CU_FUNC_ATTRIBUTE_MAX_THREADS_PER_BLOCK: *value = 1024; break;
      default: return CUDA_ERROR_INVALID_VALUE;
    }
    return CUDA_SUCCESS;
  });
}

// ---- Memory: every copy and set finishes before it returns ----

EMU_API CUresult cuMemAlloc_v2(CUdeviceptr* p, size_t size) {
  return api_call("cuMemAlloc", CUDA_ERROR_OUT_OF_MEMORY, [&](Registry& r) {
    if (!p || size == 0) return CUDA_ERROR_INVALID_VALUE;
    CUctx_st* ctx;
    if (CUresult e = current(r, &ctx)) return e;
    return r.allocate(ctx->device, size, p);
  });
}

EMU_API CUresult cuMemFree_v2(CUdeviceptr p) {
  return api_call("cuMemFree", CUDA_ERROR_INVALID_VALUE, [&](Registry& r) {
    auto it = r.allocations.find(uintptr_t(p));
    if (it == r.allocations.end()) return CUDA_ERROR_INVALID_VALUE;
    free(reinterpret_cast<void*>(it->first));
    r.allocations.erase(it);
    return CUDA_SUCCESS;
  });
}

EMU_API CUresult cuMemsetD8Async(CUdeviceptr p, unsigned char value, size_t n, CUstream stream) {
  return api_call("cuMemsetD8Async", CUDA_ERROR_INVALID_VALUE, [&](Registry& r) {
    CUctx_st* ctx;
    if (CUresult e = current(r, &ctx)) return e;
    if (!known_stream(r, stream)) return CUDA_ERROR_INVALID_HANDLE;
    if (!r.find(p, n, ctx->device)) return CUDA_ERROR_INVALID_VALUE;
    memset(reinterpret_cast<void*>(uintptr_t(p)), value, n);
    return CUDA_SUCCESS;
  });
}

EMU_API CUresult cuMemcpyHtoDAsync_v2(CUdeviceptr dst, const void* src, size_t n,
                                      CUstream stream) {
  return api_call("cuMemcpyHtoDAsync", CUDA_ERROR_INVALID_VALUE, [&](Registry& r) {
    CUctx_st* ctx;
    if (CUresult e = current(r, &ctx)) return e;
    if (!known_stream(r, stream)) return CUDA_ERROR_INVALID_HANDLE;
    if (!src || !r.find(dst, n, ctx->device)) return CUDA_ERROR_INVALID_VALUE;
    memcpy(reinterpret_cast<void*>(uintptr_t(dst)), src, n);
    return CUDA_SUCCESS;
  });
}

EMU_API CUresult cuMemcpyDtoHAsync_v2(void* dst, CUdeviceptr src, size_t n, CUstream stream) {
  return api_call("cuMemcpyDtoHAsync", CUDA_ERROR_INVALID_VALUE, [&](Registry& r) {
    CUctx_st* ctx;
    if (CUresult e = current(r, &ctx)) return e;
    if (!known_stream(r, stream)) return CUDA_ERROR_INVALID_HANDLE;
    if (!dst || !r.find(src, n, ctx->device)) return CUDA_ERROR_INVALID_VALUE;
    memcpy(dst, reinterpret_cast<const void*>(uintptr_t(src)), n);
    return CUDA_SUCCESS;
  });
}

// ---- Launch and wait: a launch runs to its end before it returns ----

EMU_API CUresult cuLaunchKernel(CUfunction f, unsigned gx, unsigned gy, unsigned gz, unsigned bx,
                                unsigned by, unsigned bz, unsigned shared, CUstream stream,
                                void** params, void** extra) {
  Registry& r = registry();
  CUmod_st* m = nullptr;
  const CUresult checked =
      api_call("cuLaunchKernel", CUDA_ERROR_LAUNCH_FAILED, [&](Registry& reg) {
        CUctx_st* ctx;
        if (CUresult e = current(reg, &ctx)) return e;
        if (!f || !f->module->live || f->module->device != ctx->device)
          return CUDA_ERROR_INVALID_HANDLE;
        if (!known_stream(r, stream)) return CUDA_ERROR_INVALID_HANDLE;
        if (!gx || !gy || !gz || !bx || !by || !bz || gy > 65535 || gz > 65535 ||
            gx > 0x7fffffffu || extra)
          return CUDA_ERROR_INVALID_VALUE;
        if (bx > 1024 || by > 1024 || bz > 64 || uint64_t(bx) * by * bz > 1024 || shared)
          return CUDA_ERROR_INVALID_VALUE;
        if (!params) return CUDA_ERROR_INVALID_VALUE;
        if (!f->cpu && !f->ptx) return CUDA_ERROR_NOT_SUPPORTED;
        m = f->module;
        return CUDA_SUCCESS;
      });
  if (checked != CUDA_SUCCESS) return checked;
  // The kernel runs outside the lock, so that launches on several threads run
  // at once; the memory it touches is checked against live allocations.
  CUresult fault;
  if (f->ptx) {
    PtxMemory memory(r, m);
    std::string error;
    fault = emu_ptx::run(*m->program, *f->ptx, {gx, gy, gz}, {bx, by, bz}, params, memory, &error)
                ? CUDA_SUCCESS
                : CUDA_ERROR_ILLEGAL_ADDRESS;
  } else {
    SassLaunch launch(r, m);
    launch.grid = {gx, gy, gz};
    launch.block = {bx, by, bz};
    launch.args = params;
    fault = f->cpu(launch);
  }
  if (fault != CUDA_SUCCESS) {
    std::lock_guard<std::mutex> lock(r.mu);
    r.contexts[m->device]->sticky = fault;
  }
  return CUDA_SUCCESS;
}

EMU_API CUresult cuStreamSynchronize(CUstream stream) {
  return api_call("cuStreamSynchronize", CUDA_ERROR_LAUNCH_FAILED, [&](Registry& r) {
    CUctx_st* ctx;
    if (CUresult e = current(r, &ctx)) return e;
    return known_stream(r, stream) ? CUDA_SUCCESS : CUDA_ERROR_INVALID_HANDLE;
  });
}

// ---- Hooks for the emulator's own tests ----

namespace emu_cuda {

bool configure(const char* devices_json, const char* failures, const char* driver,
               std::string* error) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  if (!r.configure(devices_json, failures, driver, error)) return false;
  r.config_failed = false;
  r.initialized = false;
  t_context = nullptr;
  return true;
}

void refuse_newer_cubins(bool refuse) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  r.refuse_newer_cubins = refuse;
}

std::vector<std::string> fatbin_ptx(const void* image) {
  std::vector<Candidate> entries;
  std::vector<std::string> texts;
  uint32_t magic;
  memcpy(&magic, image, 4);
  if (magic != kFatbinMagic || !read_fatbin(static_cast<const uint8_t*>(image), &entries))
    return texts;
  for (const Candidate& c : entries)
    if (c.ptx) texts.push_back(c.text);
  return texts;
}

size_t allocated_bytes(int device) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  return r.allocated(device);
}

}  // namespace emu_cuda
